// Fields written as VTK XML read back with VTK's own readers, with every
// compression; a picture.
#include "vtk_output.h"

#include <gtest/gtest.h>
#include <vtkCellData.h>
#include <vtkDataArray.h>
#include <vtkIdList.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPNGReader.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>
#include <vtkStringArray.h>
#include <vtkXMLPolyDataReader.h>
#include <vtkXMLGenericDataObjectReader.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <future>

#include "field_ref.h"
#include "host.h"
#include "temp_files.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

namespace fs = std::filesystem;

struct VtkOutputTest : ::testing::Test {
    vtest::TempDir dir;
    vhost::Host& host = vhost::host();
    void SetUp() override { host.reset(); }
    void TearDown() override { host.reset(); }
    std::string stem(const std::string& n) { return dir.file(n); }
};

// Points, cells (but a grid's) and point data as text, values by their
// exact value and NaN as "nan".
std::string exact(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " %a", v);
    return std::isnan(v) ? " nan" : buf;
}

template <class T>
std::string exact(const std::vector<T>& v, T null = T(-9999)) {
    std::string t;
    for (T x : v) t += exact(x == null ? NAN : static_cast<double>(x));
    return t;
}

std::string data_text(vtkDataSet* d) {
    std::string t = "points";
    for (vtkIdType p = 0; p < d->GetNumberOfPoints(); ++p)
        for (int a = 0; a < 3; ++a) t += exact(d->GetPoint(p)[a]);
    if (!vtkImageData::SafeDownCast(d))
        for (vtkIdType c = 0; c < d->GetNumberOfCells(); ++c) {
            t += "\ncell " + std::to_string(d->GetCellType(c)) + ":";
            vtkNew<vtkIdList> ids;
            d->GetCellPoints(c, ids);
            for (vtkIdType k = 0; k < ids->GetNumberOfIds(); ++k) t += " " + std::to_string(ids->GetId(k));
        }
    for (int a = 0; a < d->GetPointData()->GetNumberOfArrays(); ++a) {
        vtkDataArray* v = d->GetPointData()->GetArray(a);
        t += "\n" + std::string(v->GetName());
        for (vtkIdType i = 0; i < v->GetNumberOfTuples(); ++i)
            for (int c = 0; c < v->GetNumberOfComponents(); ++c) t += exact(v->GetComponent(i, c));
    }
    return t;
}

TEST_F(VtkOutputTest, EveryCompressionReadsBackTheSameData) {
    // A 40 x 30 x 20 grid of 1-spaced nodes from (0, 0, 0.5), a surface of
    // two triangles and a volume of two tetrahedra, each with a float
    // component holding nulls (NaN in the file) and an int component; each
    // kind of field in a file of its kind.
    std::vector<float> dt, grid_xyz;
    std::vector<std::int32_t> cell;
    for (int k = 0; k < 20; ++k)
        for (int j = 0; j < 30; ++j)
            for (int i = 0; i < 40; ++i) {
                dt.push_back(i == 7 && j == 3 ? -9999.0f : 0.5f * static_cast<float>(i % 5 + k));
                cell.push_back(j / 10);
                grid_xyz.insert(grid_xyz.end(), {static_cast<float>(i), static_cast<float>(j), 0.5f + static_cast<float>(k)});
            }
    vhost::FieldRef(host.add_field("grid"))
        .uniform({40, 30, 20}, {0, 0, 0.5f, 39, 29, 19.5f})
        .floats("DT", dt)
        .null_value(0, -9999)
        .ints("cell", cell);
    const std::vector<float> xyz = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
    vhost::FieldRef(host.add_field("surface"))
        .nnodes(5).nspace(3).coord(xyz).cells("Tri", {0, 1, 2, 1, 4, 2})
        .floats("ze", {40, 41, -9999, 43, 44}).null_value(0, -9999).ints("area_no", {1, 1, 2, 2, 0});
    vhost::FieldRef(host.add_field("volume"))
        .nnodes(5).nspace(3).coord(xyz).cells("Tet", {0, 1, 2, 3, 1, 2, 3, 4})
        .floats("ze", {-1, 50, 51, 52, 53}).null_value(0, -1).ints("voxel", {9, 8, 7, 6, 5});
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"grid", "points" + exact(grid_xyz) + "\nDT" + exact(dt) + "\ncell" + exact(cell)},
        {"surface", "points" + exact(xyz) +
                        "\ncell 5: 0 1 2\ncell 5: 1 4 2\nze" + exact(40) + exact(41) + " nan" + exact(43) + exact(44) +
                        "\narea_no" + exact(1) + exact(1) + exact(2) + exact(2) + exact(0)},
        {"volume", "points" + exact(xyz) +
                       "\ncell 10: 0 1 2 3\ncell 10: 1 2 3 4\nze nan" + exact(50) + exact(51) + exact(52) + exact(53) +
                       "\nvoxel" + exact(9) + exact(8) + exact(7) + exact(6) + exact(5)}};
    std::uintmax_t grid_bytes[3] = {};
    for (const char* name : {"none", "lz4", "zlib"}) {
        const auto compression = velmora::app::compression_named(name);
        ASSERT_TRUE(compression) << name;
        for (const auto& [field, want] : expected) {
            SCOPED_TRACE(std::string(field) + " with " + name);
            // The grid in two steps, its file written on a thread of its own.
            std::string path;
            if (std::string(field) == "grid") {
                const auto file = velmora::app::prepare_vtk(host.root().at(field), stem(field) + "_" + name, nullptr,
                                                            *compression);
                std::async(std::launch::async, [&file] { file.write(); }).get();
                path = file.path;
            } else {
                path = velmora::app::write_vtk(host.root().at(field), stem(field) + "_" + name, nullptr, *compression);
            }
            EXPECT_EQ(path.substr(path.size() - 4), std::string(field) == "grid" ? ".vti" : field[0] == 's' ? ".vtp" : ".vtu");
            if (std::string(field) == "grid") grid_bytes[static_cast<int>(*compression)] = fs::file_size(path);
            // Appended raw data, compressed as asked.
            const std::string text = vtest::TempDir::read(path), head = text.substr(0, 400);
            EXPECT_NE(text.find("<AppendedData encoding=\"raw\">"), std::string::npos) << head;
            const char* compressor = *compression == velmora::app::Compression::LZ4    ? "vtkLZ4DataCompressor"
                                     : *compression == velmora::app::Compression::ZLib ? "vtkZLibDataCompressor"
                                                                                       : "compressor=";
            EXPECT_EQ(head.find(compressor) != std::string::npos, *compression != velmora::app::Compression::None) << head;
            vtkNew<vtkXMLGenericDataObjectReader> r;
            r->SetFileName(path.c_str());
            r->Update();
            auto* d = vtkDataSet::SafeDownCast(r->GetOutput());
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(data_text(d), want);
        }
    }
    EXPECT_FALSE(velmora::app::compression_named("gzip"));
    EXPECT_THROW(velmora::app::write_vtk(host.root().at("volume"), "/nonexistent/dir/x"), std::runtime_error);
    // Texts of the nodes (legend labels) as a string array.
    std::vector<std::string> texts{"a", "b", "c", "d", "e"};
    vtkNew<vtkXMLPolyDataReader> r;
    r->SetFileName(velmora::app::write_vtk(host.root().at("surface"), stem("labelled"), &texts).c_str());
    r->Update();
    auto* labels = vtkStringArray::SafeDownCast(r->GetOutput()->GetPointData()->GetAbstractArray("label"));
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->GetValue(1), "b");
    EXPECT_LT(grid_bytes[static_cast<int>(velmora::app::Compression::ZLib)],
              grid_bytes[static_cast<int>(velmora::app::Compression::None)]);
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
        // A display that does not answer is passed over for a virtual one
        // (VTK would abort the program on it).
        const char* had = std::getenv("DISPLAY");
        const std::string before = had ? had : "";
        if (!had) ::setenv("DISPLAY", ":77", 1);
        velmora::app::render_png(scene, png, 320, 240);
        if (had)
            ::setenv("DISPLAY", before.c_str(), 1);
        else
            ::unsetenv("DISPLAY");
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
