#include "io/vtk_files.h"

#include <vtkCommand.h>
#include <vtkDataSet.h>
#include <vtkDoubleArray.h>
#include <vtkErrorCode.h>
#include <vtkExecutive.h>
#include <vtkFieldData.h>
#include <vtkInformation.h>
#include <vtkInformationStringKey.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkStringArray.h>
#include <vtkXMLImageDataWriter.h>
#include <vtkXMLPolyDataWriter.h>
#include <vtkXMLStructuredGridWriter.h>
#include <vtkXMLUnstructuredGridWriter.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "io/output_files.h"
#include "io/vtk_data.h"

namespace velmora {

namespace {

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Takes a writer's errors from VTK's log, which would print its pipeline's
// internals; the error that counts is the system's, reported with the file.
class Unlogged : public vtkCommand {
public:
    static Unlogged* New() { return new Unlogged; }
    void Execute(vtkObject*, unsigned long, void*) override {}
};

vtkSmartPointer<vtkStringArray> string_array(const std::string& name, const std::vector<std::string>& texts) {
    auto a = vtkSmartPointer<vtkStringArray>::New();
    a->SetName(name.c_str());
    a->SetNumberOfValues(static_cast<vtkIdType>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) a->SetValue(static_cast<vtkIdType>(i), texts[i]);
    return a;
}

void add_point_data(vtkDataSet& d, const VtkExtras& e) {
    vtkPointData* pd = d.GetPointData();
    const vtkIdType n = d.GetNumberOfPoints();
    for (const auto& [name, values] : e.point_ints) {
        if (static_cast<vtkIdType>(values.size()) != n) continue;
        vtkNew<vtkIntArray> a;
        a->SetName(name.c_str());
        a->SetNumberOfValues(n);
        std::copy(values.begin(), values.end(), a->GetPointer(0));
        pd->AddArray(a);
    }
    for (const auto& [name, values] : e.point_reals) {
        if (static_cast<vtkIdType>(values.size()) != n) continue;
        vtkNew<vtkDoubleArray> a;
        a->SetName(name.c_str());
        a->SetNumberOfValues(n);
        std::copy(values.begin(), values.end(), a->GetPointer(0));
        pd->AddArray(a);
    }
}

// "NAME=UNIT" for every point-data array with a known unit, and the unit on
// the array itself.
void add_units(vtkDataSet& d, const VtkExtras& e) {
    vtkPointData* pd = d.GetPointData();
    std::vector<std::string> units;
    // The coordinates are no array of the point data, but have their unit too.
    for (const auto& [name, unit] : e.units)
        if (name == "Points") units.push_back(name + "=" + unit);
    for (int i = 0; i < pd->GetNumberOfArrays(); ++i) {
        vtkAbstractArray* a = pd->GetAbstractArray(i);
        if (!a || !a->GetName()) continue;
        for (const auto& [name, unit] : e.units) {
            if (name != a->GetName()) continue;
            units.push_back(name + "=" + unit);
            a->GetInformation()->Set(vtkDataArray::UNITS_LABEL(), unit.c_str());
            break;
        }
    }
    if (e.unit_texts && !units.empty()) d.GetFieldData()->AddArray(string_array("units", units));
}

}  // namespace

void add_extras(vtkDataObject& data, const VtkExtras& extras) {
    auto* d = vtkDataSet::SafeDownCast(&data);
    if (!d) return;
    add_point_data(*d, extras);
    for (const auto& [name, texts] : extras.field_texts) d->GetFieldData()->AddArray(string_array(name, texts));
    add_units(*d, extras);
    if (extras.time && std::isfinite(*extras.time)) {
        vtkNew<vtkDoubleArray> t;
        t->SetName("TimeValue");
        t->InsertNextValue(*extras.time);
        d->GetFieldData()->AddArray(t);
    }
}

void write_collection(const std::string& path, const std::vector<CollectionEntry>& entries) {
    write_file(path, [&entries](std::FILE* f) {
        std::fputs("<?xml version=\"1.0\"?>\n<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
                   "  <Collection>\n", f);
        for (const CollectionEntry& e : entries)
            std::fprintf(f, "    <DataSet timestep=\"%.17g\" group=\"\" part=\"%d\" file=\"%s\"/>\n", e.time, e.part,
                         xml_escaped(e.file).c_str());
        std::fputs("  </Collection>\n</VTKFile>\n", f);
    });
}

void write_xml(vtkXMLWriter& w, const std::string& path) {
    // The writer and its pipeline's executive each report a failure.
    vtkNew<Unlogged> quiet;
    vtkObject* const reporters[] = {&w, w.GetExecutive()};
    for (vtkObject* o : reporters) {
        o->AddObserver(vtkCommand::ErrorEvent, quiet);
        o->AddObserver(vtkCommand::WarningEvent, quiet);
    }
    w.SetFileName(path.c_str());
    errno = 0;
    const bool written = w.Write() == 1 && w.GetErrorCode() == 0;
    const int error = errno;
    for (vtkObject* o : reporters) {
        o->RemoveObservers(vtkCommand::ErrorEvent);
        o->RemoveObservers(vtkCommand::WarningEvent);
    }
    if (written) return;
    const unsigned long code = w.GetErrorCode();
    const std::string why = error ? std::strerror(error)
                            : code == vtkErrorCode::OutOfDiskSpaceError ? "no space left on the device"
                            : code ? vtkErrorCode::GetStringFromErrorCode(code) : "the writer failed";
    throw WriteFailed("can not write " + path + ": " + why);
}

std::optional<Compression> compression_named(std::string_view name) {
    if (name == "none") return Compression::None;
    if (name == "lz4") return Compression::LZ4;
    if (name == "zlib") return Compression::ZLib;
    return std::nullopt;
}

VtkFile prepare_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts,
                    Compression compression) {
    VtkData d = vtk_data_of(field, texts);
    VtkFile out;
    out.compression_ = compression;
    out.data_ = d.data;
    switch (d.kind) {
        case VtkKind::Image:
            out.path = stem + ".vti";
            out.writer_ = vtkSmartPointer<vtkXMLImageDataWriter>::New();
            break;
        case VtkKind::Structured:
            out.path = stem + ".vts";
            out.writer_ = vtkSmartPointer<vtkXMLStructuredGridWriter>::New();
            break;
        case VtkKind::Unstructured:
            out.path = stem + ".vtu";
            out.writer_ = vtkSmartPointer<vtkXMLUnstructuredGridWriter>::New();
            break;
        case VtkKind::Poly:
            out.path = stem + ".vtp";
            out.writer_ = vtkSmartPointer<vtkXMLPolyDataWriter>::New();
            break;
    }
    return out;
}

void VtkFile::write() const {
    if (!writer_ || !data_) throw std::runtime_error(path + ": nothing to write");
    vtkXMLWriter* w = writer_;
    w->SetInputDataObject(data_);
    w->SetDataModeToAppended();
    w->EncodeAppendedDataOff();   // raw bytes: no base64 pass over the data
    switch (compression_) {
        case Compression::None: w->SetCompressorTypeToNone(); break;
        case Compression::LZ4:
            w->SetCompressorTypeToLZ4();
            w->SetCompressionLevel(1);
            break;
        case Compression::ZLib:
            w->SetCompressorTypeToZLib();
            w->SetCompressionLevel(1);
            break;
    }
    write_xml(*w, path);
}

std::string write_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts,
                      Compression compression, const VtkExtras* extras) {
    VtkFile file = prepare_vtk(field, stem, texts, compression);
    if (extras) file.add(*extras);
    file.write();
    return file.path;
}

}  // namespace velmora
