// The plan view of an analysis, rendered off screen.
#include <gtest/gtest.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPNGReader.h>
#include <vtkPointData.h>
#include <vtkUnsignedCharArray.h>

#include <cmath>
#include <cstdlib>

#include "temp_files.h"
#include "vtk_output.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TEST(PlanViewTest, ColumnsAreColouredByTheirHighestValueAndCellsOutlined) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0 && !std::getenv("DISPLAY"))
        GTEST_SKIP() << "no display and no Xvfb: pictures cannot be rendered here";
    vtest::TempDir dir;
    const float x[] = {0, 1, 2, 3}, y[] = {0, 1, 2};
    // The top of the scale (60 dBZ) in every column but one without a value.
    std::vector<float> top(12, 60.0f);
    top[11] = NAN;
    std::vector<std::int32_t> plan(12, 0);
    plan[5] = 1;
    velmora::app::PlanView p{x, y, top, plan, {{1, 1.0, 1.0}}, {}, "plan", ""};
    const std::string png = dir.file("plan.png");
    {
#if defined(__SANITIZE_ADDRESS__)
        __lsan::ScopedDisabler x_libraries_keep_memory;   // the X and OpenGL libraries'
#endif
        velmora::app::render_plan_png(p, png, 500, 400);
    }
    vtkNew<vtkPNGReader> r;
    r->SetFileName(png.c_str());
    r->Update();
    int d[3];
    r->GetOutput()->GetDimensions(d);
    ASSERT_EQ(d[0], 500);
    ASSERT_EQ(d[1], 400);
    // The top of the turbo scale is dark red (0.48, 0.016, 0.011).
    auto* rgb = vtkUnsignedCharArray::SafeDownCast(r->GetOutput()->GetPointData()->GetScalars());
    ASSERT_NE(rgb, nullptr);
    int dark_red = 0, black = 0;
    for (vtkIdType i = 0; i < rgb->GetNumberOfTuples(); ++i) {
        const int c[3] = {int(rgb->GetComponent(i, 0)), int(rgb->GetComponent(i, 1)), int(rgb->GetComponent(i, 2))};
        dark_red += std::abs(c[0] - 122) < 6 && c[1] < 10 && c[2] < 10;
        black += c[0] < 40 && c[1] < 40 && c[2] < 40;
    }
    EXPECT_GT(dark_red, 10000);   // 11 of 12 columns of about 90 x 90 pixels
    EXPECT_GT(black, 500);        // the cell's outline: four sides of a column, 2 pixels wide
    std::vector<float> wrong(5);
    EXPECT_THROW(velmora::app::render_plan_png({x, y, wrong, plan, {}, {}, "", ""}, png), std::invalid_argument);
}

}  // namespace
