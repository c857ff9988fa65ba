// Fields written as VTK XML read back with VTK's own readers; a picture.
#include "vtk_output.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <vtkCellData.h>
#include <vtkDataArray.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPNGReader.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>
#include <vtkStringArray.h>
#include <vtkUnstructuredGrid.h>
#include <vtkXMLImageDataReader.h>
#include <vtkXMLPolyDataReader.h>
#include <vtkXMLUnstructuredGridReader.h>

#include <cmath>
#include <filesystem>

#include "fields.h"
#include "host.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

namespace fs = std::filesystem;

struct VtkOutputTest : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("velmora_vtk_" + std::to_string(::getpid()));
    vhost::Host& host = vhost::host();
    void SetUp() override {
        fs::create_directories(dir);
        host.reset();
    }
    void TearDown() override {
        fs::remove_all(dir);
        host.reset();
    }
    std::string stem(const char* n) { return (dir / n).string(); }
};

TEST_F(VtkOutputTest, SurfacesWithNodeDataAndLabels) {
    vhost::Object& f = host.add_field("surf");
    vhost::FieldRef(f)
        .nnodes(4)
        .nspace(3)
        .coord({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 1})
        .cells("Tri", {0, 1, 2, 1, 3, 2})
        .floats("ze", {40, 41, -9999, 43})
        .null_value(0, -9999)
        .ints("area_no", {1, 1, 2, 2});
    std::vector<std::string> texts{"a", "b", "c", "d"};
    std::string path = velmora::app::write_vtk(f, stem("surf"), &texts);
    EXPECT_EQ(path, stem("surf") + ".vtp");
    vtkNew<vtkXMLPolyDataReader> r;
    r->SetFileName(path.c_str());
    r->Update();
    vtkPolyData* p = r->GetOutput();
    ASSERT_EQ(p->GetNumberOfPoints(), 4);
    EXPECT_EQ(p->GetNumberOfPolys(), 2);
    EXPECT_EQ(p->GetPointData()->GetArray("area_no")->GetTuple1(3), 2.0);
    EXPECT_TRUE(std::isnan(p->GetPointData()->GetArray("ze")->GetTuple1(2)));   // nulls as NaN
    EXPECT_EQ(p->GetPointData()->GetArray("ze")->GetTuple1(3), 43.0);
    auto* labels = vtkStringArray::SafeDownCast(p->GetPointData()->GetAbstractArray("label"));
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->GetValue(1), "b");
}

TEST_F(VtkOutputTest, GridsAndVolumes) {
    vhost::Object& g = host.add_field("grid");
    vhost::FieldRef(g).uniform({3, 2, 2}, {0, 0, 0.5f, 2, 1, 1.5f}).floats("DT", std::vector<float>(12, 7.0f));
    std::string path = velmora::app::write_vtk(g, stem("grid"));
    EXPECT_EQ(path, stem("grid") + ".vti");
    vtkNew<vtkXMLImageDataReader> r;
    r->SetFileName(path.c_str());
    r->Update();
    int d[3];
    r->GetOutput()->GetDimensions(d);
    EXPECT_EQ(d[0] * d[1] * d[2], 12);
    EXPECT_EQ(r->GetOutput()->GetOrigin()[2], 0.5);

    vhost::Object& v = host.add_field("vol");
    vhost::FieldRef(v).nnodes(5).nspace(3).coord({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1}).cells("Tet", {0, 1, 2, 3, 1, 2, 3, 4});
    path = velmora::app::write_vtk(v, stem("vol"));
    EXPECT_EQ(path, stem("vol") + ".vtu");
    vtkNew<vtkXMLUnstructuredGridReader> u;
    u->SetFileName(path.c_str());
    u->Update();
    EXPECT_EQ(u->GetOutput()->GetNumberOfCells(), 2);
    EXPECT_THROW(velmora::app::write_vtk(v, "/nonexistent/dir/x"), std::runtime_error);
}

TEST_F(VtkOutputTest, APictureIsRenderedOffScreen) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0 && !std::getenv("DISPLAY"))
        GTEST_SKIP() << "no display and no Xvfb: pictures cannot be rendered here";
    vhost::Object& f = host.add_field("surf");
    vhost::FieldRef(f).nnodes(4).nspace(3).coord({0, 0, 0, 10, 0, 0, 0, 10, 0, 10, 10, 5}).cells("Tri", {0, 1, 2, 1, 3, 2});
    velmora::app::Scene scene;
    scene.surface = &f;
    scene.area_no = {1, 1, 2, 2};
    scene.title = "test";
    std::string png = stem("pic") + ".png";
    {
#if defined(__SANITIZE_ADDRESS__)
        // The X and OpenGL libraries keep a few allocations until the
        // process ends; they are theirs, not ours.
        __lsan::ScopedDisabler x_libraries_keep_memory;
#endif
        velmora::app::render_png(scene, png, 320, 240);
    }
    vtkNew<vtkPNGReader> r;
    ASSERT_TRUE(r->CanReadFile(png.c_str()));
    r->SetFileName(png.c_str());
    r->Update();
    int d[3];
    r->GetOutput()->GetDimensions(d);
    EXPECT_EQ(d[0], 320);
    EXPECT_EQ(d[1], 240);
}

}  // namespace
