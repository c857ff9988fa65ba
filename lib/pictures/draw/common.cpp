#include "pictures/draw/common.h"

#include <vtkBillboardTextActor3D.h>
#include <vtkNew.h>
#include <vtkPNGWriter.h>
#include <vtkRenderWindow.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>
#include <vtkWindowToImageFilter.h>

#include <algorithm>
#include <stdexcept>

namespace velmora::drawing {

void area_colours(vtkLookupTable* lut, int max_no) {
    static const double palette[][3] = {{0.90, 0.30, 0.24}, {0.20, 0.55, 0.85}, {0.30, 0.70, 0.35}, {0.95, 0.65, 0.15},
                                        {0.60, 0.40, 0.75}, {0.10, 0.70, 0.70}, {0.85, 0.45, 0.65}, {0.60, 0.60, 0.20}};
    lut->SetNumberOfTableValues(max_no + 1);
    lut->SetTableRange(0, std::max(1, max_no));
    lut->SetTableValue(0, 0.7, 0.7, 0.7, 0.35);
    for (int i = 1; i <= max_no; ++i) {
        const double* c = palette[(i - 1) % 8];
        lut->SetTableValue(i, c[0], c[1], c[2], 1.0);
    }
    lut->Build();
}

void add_text(vtkRenderer* r, const std::string& text, double x, double y, double z, double size, const double rgb[3]) {
    vtkNew<vtkBillboardTextActor3D> t;
    t->SetInput(text.c_str());
    t->SetPosition(x, y, z);
    t->GetTextProperty()->SetFontSize(static_cast<int>(size));
    t->GetTextProperty()->SetColor(rgb[0], rgb[1], rgb[2]);
    t->GetTextProperty()->SetBold(true);
    r->AddActor(t);
}

void add_text2d(vtkRenderer* ren, const std::string& t, int x, int y, int size) {
    if (t.empty()) return;
    vtkNew<vtkTextActor> a;
    a->SetInput(t.c_str());
    a->SetDisplayPosition(x, y);
    a->GetTextProperty()->SetFontSize(size);
    a->GetTextProperty()->SetColor(kInk[0], kInk[1], kInk[2]);
    ren->AddViewProp(a);
}

void write_picture(vtkRenderer* ren, const std::string& path, int width, int height) {
    vtkNew<vtkRenderWindow> win;
    win->SetOffScreenRendering(1);
    win->AddRenderer(ren);
    win->SetSize(width, height);
    win->SetMultiSamples(4);
    win->Render();
    vtkNew<vtkWindowToImageFilter> grab;
    grab->SetInput(win);
    grab->ReadFrontBufferOff();
    grab->Update();
    vtkNew<vtkPNGWriter> png;
    png->SetFileName(path.c_str());
    png->SetInputConnection(grab->GetOutputPort());
    png->Write();
    if (png->GetErrorCode() != 0) throw std::runtime_error(path + ": cannot write the picture");
    win->Finalize();
}

}  // namespace velmora::drawing
