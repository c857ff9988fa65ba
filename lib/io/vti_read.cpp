// The VTK image data (.vti) reader of gridded volumes.
#include <vtkCommand.h>
#include <vtkDataArray.h>
#include <vtkExecutive.h>
#include <vtkImageData.h>
#include <vtkInformation.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkStreamingDemandDrivenPipeline.h>
#include <vtkXMLImageDataReader.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "io/volume.h"
#include "io/volume_reading.h"
#include "io/vti_header.h"

namespace velmora {

using volume_reading::check_size;
using volume_reading::fail;
using volume_reading::storage_for;

namespace {

// The first error a VTK object reports, without VTK's file and line.
class ErrorText : public vtkCommand {
public:
    static ErrorText* New() { return new ErrorText; }
    void Execute(vtkObject*, unsigned long, void* data) override {
        if (!text.empty() || !data) return;
        std::string t = static_cast<const char*>(data);
        if (const auto at = t.rfind("): "); at != std::string::npos) t = t.substr(at + 3);
        while (!t.empty() && (t.back() == '\n' || t.back() == ' ' || t.back() == '.')) t.pop_back();
        text = t.empty() ? "it cannot be read" : t;
    }
    std::string text;
};

}  // namespace

namespace {

// The image of a .vti file through VTK's reader, whose own error log stays
// silent: what went wrong is said once, here. Arrays the reader would fall
// over are refused before it parses them.
vtkImageData* read_image(vtkXMLImageDataReader* reader, const std::string& path, std::int64_t max_nodes) {
    if (!reader->CanReadFile(path.c_str())) fail(path, "cannot read as VTK image data");
    if (const std::string problem = vti_header_problem(path); !problem.empty())
        fail(path, "not valid VTK XML image data: " + problem);
    vtkNew<ErrorText> errors, pipeline;
    for (const auto event : {vtkCommand::ErrorEvent, vtkCommand::WarningEvent}) {
        reader->AddObserver(event, errors);
        reader->GetExecutive()->AddObserver(event, pipeline);
    }
    reader->SetParserErrorObserver(errors);
    reader->SetReaderErrorObserver(errors);
    reader->SetFileName(path.c_str());
    reader->UpdateInformation();
    const auto failed = [&] {
        if (!errors->text.empty()) fail(path, "not valid VTK XML image data: " + errors->text);
        if (!pipeline->text.empty() || reader->GetErrorCode() != 0)
            fail(path, "not valid VTK XML image data: it cannot be read");
    };
    failed();
    int extent[6] = {0, -1, 0, -1, 0, -1};
    reader->GetOutputInformation(0)->Get(vtkStreamingDemandDrivenPipeline::WHOLE_EXTENT(), extent);
    check_size(path, static_cast<std::size_t>(std::max(0, extent[1] - extent[0] + 1)),
               static_cast<std::size_t>(std::max(0, extent[3] - extent[2] + 1)),
               static_cast<std::size_t>(std::max(0, extent[5] - extent[4] + 1)), max_nodes);
    reader->Update();
    failed();
    return reader->GetOutput();
}

}  // namespace

Volume read_vti(const std::string& path, const std::string& var, const ValueSink& sink, std::int64_t max_nodes) {
    vtkNew<vtkXMLImageDataReader> reader;
    vtkImageData* img = read_image(reader, path, max_nodes);
    int d[3];
    img->GetDimensions(d);
    if (d[0] < 2 || d[1] < 2 || d[2] < 2) fail(path, "image data must have at least 2 points along each axis");
    vtkPointData* pd = img->GetPointData();
    vtkDataArray* arr = var.empty() ? pd->GetArray(0) : pd->GetArray(var.c_str());
    if (!arr) {
        std::string list;
        for (int i = 0; i < pd->GetNumberOfArrays(); ++i) list += (i ? ", " : "") + std::string(pd->GetArrayName(i));
        fail(path, "no point data \"" + var + "\"" + (list.empty() ? std::string() : " (arrays: " + list + ")"));
    }
    if (arr->GetNumberOfComponents() != 1) fail(path, std::string("point data ") + arr->GetName() + " is not scalar");
    double o[3], s[3];
    img->GetOrigin(o);
    img->GetSpacing(s);
    for (int a = 0; a < 3; ++a)
        if (!(s[a] > 0.0) || !std::isfinite(s[a]) || !std::isfinite(o[a]))
            fail(path, std::string("the spacing along ") + "xyz"[a] + " must be a positive number, not " + std::to_string(s[a]));
    Volume out;
    out.name = arr->GetName() ? arr->GetName() : "data";
    for (int i = 0; i < d[0]; ++i) out.x.push_back(static_cast<float>(o[0] + i * s[0]));
    for (int j = 0; j < d[1]; ++j) out.y.push_back(static_cast<float>(o[1] + j * s[1]));
    for (int k = 0; k < d[2]; ++k) out.z.push_back(static_cast<float>(o[2] + k * s[2]));
    const std::span<float> values = storage_for(out, static_cast<size_t>(arr->GetNumberOfTuples()), sink, path);
    for (vtkIdType i = 0; i < arr->GetNumberOfTuples(); ++i) {
        // Values that are not finite are no measurement: the volume's null.
        const double x = arr->GetTuple1(i);
        if (!std::isfinite(x)) out.has_null = true;
        values[static_cast<size_t>(i)] = std::isfinite(x) ? static_cast<float>(x) : out.null_value;
    }
    return out;
}

}  // namespace velmora
