#include "io/vtk_files.h"

#include <vtkCommand.h>
#include <vtkErrorCode.h>
#include <vtkExecutive.h>
#include <vtkNew.h>
#include <vtkXMLImageDataWriter.h>
#include <vtkXMLPolyDataWriter.h>
#include <vtkXMLStructuredGridWriter.h>
#include <vtkXMLUnstructuredGridWriter.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "io/output_files.h"
#include "io/vtk_data.h"

namespace velmora {

namespace {

// Takes a writer's errors from VTK's log, which would print its pipeline's
// internals; the error that counts is the system's, reported with the file.
class Unlogged : public vtkCommand {
public:
    static Unlogged* New() { return new Unlogged; }
    void Execute(vtkObject*, unsigned long, void*) override {}
};

}  // namespace

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
                      Compression compression) {
    const VtkFile file = prepare_vtk(field, stem, texts, compression);
    file.write();
    return file.path;
}

}  // namespace velmora
