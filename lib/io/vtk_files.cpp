#include "io/vtk_files.h"

#include <vtkXMLImageDataWriter.h>
#include <vtkXMLPolyDataWriter.h>
#include <vtkXMLStructuredGridWriter.h>
#include <vtkXMLUnstructuredGridWriter.h>

#include <stdexcept>

#include "io/vtk_data.h"

namespace velmora {

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
    w->SetFileName(path.c_str());
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
    if (w->Write() != 1 || w->GetErrorCode() != 0) throw std::runtime_error(path + ": cannot write");
}

std::string write_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts,
                      Compression compression) {
    const VtkFile file = prepare_vtk(field, stem, texts, compression);
    file.write();
    return file.path;
}

}  // namespace velmora
