// velmora._core's folders of results: the batch replaces earlier results as
// the commands do (io/output_files.h), and names the volumes' folders by the
// same rule as velmora track. Paths go both ways as bytes (os.fsencode), so
// that a name that is not UTF-8 passes unchanged.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "io/output_files.h"

namespace py = pybind11;
using velmora::ResultFolder;

void add_result_folders(py::module_& m) {
    // OutputRefused is a std::invalid_argument: ValueError. A write that
    // failed is the system's: OSError.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const velmora::WriteFailed& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        }
    });
    py::class_<ResultFolder>(m, "ResultFolder",
                             "A folder of results made beside its target and swapped in by commit(); ValueError when "
                             "the target is not velmora's to replace")
        .def(py::init([](const std::string& target, const std::vector<std::string>& inputs) {
                 return std::make_unique<ResultFolder>(target, inputs);
             }),
             py::arg("target"), py::arg("inputs") = std::vector<std::string>{})
        .def_property_readonly("target", [](const ResultFolder& f) { return py::bytes(f.target()); })
        .def_property_readonly("work", [](const ResultFolder& f) { return py::bytes(f.work()); })
        .def("commit", &ResultFolder::commit, py::call_guard<py::gil_scoped_release>())
        .def("discard", &ResultFolder::discard, py::call_guard<py::gil_scoped_release>());
    m.def(
        "volume_folder_names",
        [](const std::vector<std::string>& paths, const std::vector<std::string>& reserved) {
            py::list out;
            for (const std::string& name :
                 velmora::volume_folder_names(paths, std::set<std::string>(reserved.begin(), reserved.end())))
                out.append(py::bytes(name));
            return out;
        },
        py::arg("paths"), py::arg("reserved") = std::vector<std::string>{},
        "The folder of each volume among a run's results: its stem, apart from the others' and the reserved names");
}
