// The analysis end to end on the synthetic volume and on one cell of two cores that divides; the options' checks;
// earlier results replaced only by a run that succeeded; the mapping of isosurface nodes onto the cells of the grid.
#include "analysis/analyze.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vtkDataSet.h>
#include <vtkDoubleArray.h>
#include <vtkFieldData.h>
#include <vtkImageData.h>
#include <vtkInformation.h>
#include <vtkInformationStringKey.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkStringArray.h>
#include <vtkXMLGenericDataObjectReader.h>

#include <cmath>
#include <set>
#include <sstream>

#include "app_test.h"
#include "child.h"
#include "field_ref.h"
#include "host.h"
#include "../polar/polar_files.h"
#include "run/network.h"

namespace {

namespace fs = std::filesystem;
using velmora::AnalyzeOptions;

class AnalyzeTest : public ::testing::Test {
protected:
    vtest::TempDir tmp;
    fs::path dir = tmp.path() / "out";
    std::string out, err;   // what the last analysis wrote to standard output and the error stream
    void TearDown() override { vhost::host().reset(); }
    AnalyzeOptions options(const std::string& volume = "") {
        AnalyzeOptions o;
        o.volume = volume;
        o.out = dir.string();
        o.picture = false;
        return o;
    }
    int analyze(const AnalyzeOptions& o) {
        vtest::Capture e;
        velmora::AnalysisSummary summary;
        const int status = velmora::analyze(o, e.stream(), summary);
        out = summary.text;
        err = e.text();
        return status;
    }
    std::string read(const std::string& file) { return vtest::TempDir::read((dir / file).string()); }
    // The results' files and their sizes.
    std::vector<std::pair<std::string, std::uintmax_t>> listing() {
        std::vector<std::pair<std::string, std::uintmax_t>> out;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            out.emplace_back(e.path().filename().string(), e.is_regular_file() ? e.file_size() : 0);
        std::sort(out.begin(), out.end());
        return out;
    }
    // What the folder of the output folder holds.
    std::vector<std::string> beside() {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(tmp.path())) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::vector<std::string>> rows(const std::string& file) {
        std::vector<std::vector<std::string>> rows;
        std::istringstream lines(read(file));
        for (std::string line; std::getline(lines, line);) {
            auto& row = rows.emplace_back();
            std::istringstream fields(line);
            for (std::string f; std::getline(fields, f, ',');) row.push_back(f);
        }
        return rows;
    }
};

TEST_F(AnalyzeTest, HailLevelsAddTheHailColumnsAndMesh) {
    AnalyzeOptions o = options();
    ASSERT_EQ(analyze(o), 0) << err;
    const std::string plain = read("cell_properties.csv");
    EXPECT_EQ(plain.find("shi"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "mesh.nc"));
    // The scene's strongest cell reaches 56 dBZ near 4 km: H0 at 2 km, H-20 at 4 km.
    o.freezing_level_km = 2.0;
    o.minus20_level_km = 4.0;
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_EQ(err,
              "velmora analyze: the altitude of the radar is unknown: the levels are taken as heights above it "
              "(altitude 0)\n");
    EXPECT_NE(out.find("VIL kg/m2  MESH mm\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  mesh.nc\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir / "mesh.nc"));
    const auto table = rows("cell_properties.csv");
    ASSERT_EQ(table.size(), 6u);
    // The hail columns follow the others: the plain table is the start of each line.
    std::istringstream lines(plain);
    std::string first;
    std::getline(lines, first);
    first.resize(first.size() - std::string(",time").size());   // the time ends every table
    EXPECT_EQ(read("cell_properties.csv").substr(0, first.size() + 1), first + ",");
    const auto mesh = std::find(table[0].begin(), table[0].end(), "mesh_mm") - table[0].begin();
    ASSERT_LT(mesh, static_cast<long>(table[0].size()));
    double largest = 0;
    for (std::size_t r = 1; r < table.size(); ++r) largest = std::max(largest, std::stod(table[r][mesh]));
    EXPECT_GT(largest, 0.0);
    o.minus20_level_km.reset();
    EXPECT_EQ(analyze(o), 2);
    EXPECT_EQ(err, "velmora analyze: give both --freezing-level and --minus20-level (or --sounding)\n");
}

TEST_F(AnalyzeTest, HailLevelsMeetAMosaicsHeightsAboveSeaLevel) {
    // Two radars' volumes make a mosaic, whose heights are above sea level as the levels given are.
    const std::string a = (tmp.path() / "a.h5").string(), b = (tmp.path() / "b.h5").string();
    polartest::write_odim(a);
    polartest::write_odim(b);
    AnalyzeOptions o = options(a);
    o.radars = {b};
    o.freezing_level_km = 2.0;
    o.minus20_level_km = 4.0;
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_EQ(err.find("altitude"), std::string::npos) << err;
    // One radar's grid is above its antenna, whose altitude the grid does not carry: the note says so.
    o.radars.clear();
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_NE(err.find("the altitude of the radar is unknown"), std::string::npos) << err;
}

TEST_F(AnalyzeTest, TheSyntheticSceneHasItsFiveCellsAndAnswersWithoutCells) {
    AnalyzeOptions o = options();
    o.timings = true;
    ASSERT_EQ(analyze(o), 0) << err;
    // Standard output holds the table of cells and the files written; what the modules print is in analysis.log.
    std::vector<std::string> lines;
    for (std::istringstream in(out); std::getline(in, lines.emplace_back());) {}
    lines.pop_back();
    ASSERT_EQ(lines.size(), 2u + 5u + 1u + 13u + 1u) << out;
    EXPECT_EQ(lines[0], "5 storm cells at 40 dBZ in the synthetic volume (DT), areas of more than 8 tetrahedra and at least 10 km³:");
    EXPECT_EQ(lines[1], "  cell  voxels  top km  max dBZ  volume km3  VIL kg/m2");
    EXPECT_EQ(lines[7].rfind("results in " + fs::absolute(dir).lexically_normal().string() + " (", 0), 0u) << lines[7];
    EXPECT_EQ(lines.back(),
              "no hail columns: give --freezing-level and --minus20-level (km above sea level) or --sounding FILE.");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end() - 1),
              (std::vector<std::string>{"  network.json", "  analysis.log", "  cells.csv", "  cell_properties.csv",
                                        "  surface_cells.csv", "  cells_ijk.txt", "  radar.vti", "  isosurface.vtp",
                                        "  isovolume.vtu", "  cell_tops.vtp", "  centres.vtp", "  legend_axis.vtp",
                                        "  legend_ticks.vtp"}));
    const std::string log = read("analysis.log");
    EXPECT_NE(log.find("get_node_connect_vol.\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '='), 4) << "end_no and start_no of both divisions: " << log;
    EXPECT_NE(err.find("velmora: cellvox (CellVoxels)"), std::string::npos) << err;
    std::istringstream timing_lines(err);
    for (std::string l; std::getline(timing_lines, l);)
        EXPECT_TRUE(l.starts_with("velmora: ") && l.ends_with(" MB at most")) << l;
    EXPECT_TRUE(fs::exists(dir / "synthetic.nc"));
    EXPECT_EQ(std::ranges::count(read("cells.csv"), '\n'), 6);
    // The scene's cells peak at 56, 52, 48, 46 and 44 dBZ; the stronger a cell, the higher its 40 dBZ echo reaches.
    vhost::Object& stat = vhost::host().root().at("cellstat");
    ASSERT_EQ(stat.at("nsurf").int_value(), 5);
    std::vector<std::pair<float, double>> peaks;   // (maximum, top)
    for (int i = 0; i < 5; ++i) {
        vhost::Object& e = stat.at("sparam[" + std::to_string(i) + "]");
        EXPECT_GT(e.at("npoints").int_value(), 20);
        peaks.emplace_back(vhost::floats_of(e.at("data_max"))[0], e.at("maxz").real_value());
    }
    std::sort(peaks.rbegin(), peaks.rend());
    const float want[] = {56, 52, 48, 46, 44};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(peaks[i].first, want[i], 2.5) << i;
        EXPECT_LE(peaks[i].second, peaks[i ? i - 1 : 0].second) << i;
    }
    // `velmora run` of the network written beside the results writes the same files again, to the same paths.
    const fs::path first = tmp.path() / "first";
    fs::create_directories(first);
    const char* const results[] = {"cells.csv", "cells_ijk.txt", "surface_cells.csv"};
    for (const char* f : results) fs::rename(dir / f, first / f);
    vtest::Capture run_err;
    EXPECT_EQ(vtest::run_file((dir / "network.json").string(), run_err, {}, true), velmora::run_ok);
    EXPECT_EQ(run_err.text(), "");
    for (const char* f : results) {
        EXPECT_FALSE(read(f).empty()) << f;
        EXPECT_TRUE(read(f) == vtest::TempDir::read((first / f).string())) << f;
    }
    // Run from another folder, its writers are refused: the run says so, names the way out, and ends with 3.
    {
        const vtest::InDirectory elsewhere(first.string());
        vtest::Capture refused;
        EXPECT_EQ(vtest::run_file((dir / "network.json").string(), refused), velmora::run_reported);
        EXPECT_NE(refused.text().find("csv : can not open " + (dir / "cells.csv").string() + ".\n"), std::string::npos);
        EXPECT_NE(refused.text().find("velmora: csv: refused to write " + (dir / "cells.csv").string() + ": it lies outside " +
                                      fs::weakly_canonical(first).string() +
                                      ", the folder the run writes in (--allow-writes-anywhere lets the writers write "
                                      "anywhere)\n"),
                  std::string::npos)
            << refused.text();
    }
    // No echo at the level, or no area above --min-cells: no module complains, no older result is left beside.
    for (const auto& [level, min_cells, says] :
         {std::tuple{70.0, 8, "0 storm cells at 70 dBZ in the synthetic volume (DT): no echo reaches the level (highest 56.5)."},
          std::tuple{40.0, 100000, "0 storm cells at 40 dBZ in the synthetic volume (DT): every area has at most 100000 tetrahedra"}}) {
        AnalyzeOptions o = options();
        o.level = level;
        o.min_cells = min_cells;
        EXPECT_EQ(analyze(o), 0);
        EXPECT_NE(out.find(says), std::string::npos) << out;
        EXPECT_EQ(err, "");
        EXPECT_TRUE(vhost::host().messages().empty());
        // Every table is there, its header alone; no cell was written.
        for (const char* table : {"cells.csv", "cell_properties.csv", "surface_cells.csv"})
            EXPECT_EQ(std::ranges::count(read(table), '\n'), 1) << table;
        for (const char* gone : {"cells_ijk.txt", "radar.vti"}) EXPECT_FALSE(fs::exists(dir / gone)) << gone;
        EXPECT_EQ(beside(), (std::vector<std::string>{"first", "out"})) << "no work folder left beside";
    }
}

// A file as VTK's readers give it back.
vtkSmartPointer<vtkDataSet> read_vtk(const fs::path& path) {
    vtkNew<vtkXMLGenericDataObjectReader> r;
    r->SetFileName(path.c_str());
    r->Update();
    return vtkDataSet::SafeDownCast(r->GetOutput());
}

std::vector<int> ints_of(vtkDataSet& d, const char* name) {
    std::vector<int> out;
    if (auto* a = vtkIntArray::SafeDownCast(d.GetPointData()->GetAbstractArray(name)))
        for (vtkIdType i = 0; i < a->GetNumberOfValues(); ++i) out.push_back(a->GetValue(i));
    return out;
}

std::vector<std::string> texts_of(vtkAbstractArray* array) {
    std::vector<std::string> out;
    if (auto* a = vtkStringArray::SafeDownCast(array))
        for (vtkIdType i = 0; i < a->GetNumberOfValues(); ++i) out.push_back(a->GetValue(i));
    return out;
}

// The unit an array carries as its information key.
std::string unit_of(vtkDataSet& d, const char* name) {
    vtkAbstractArray* a = d.GetPointData()->GetAbstractArray(name);
    const char* unit = a && a->GetInformation()->Has(vtkDataArray::UNITS_LABEL())
                           ? a->GetInformation()->Get(vtkDataArray::UNITS_LABEL())
                           : nullptr;
    return unit ? unit : "";
}

// What ParaView needs of the files, read back with VTK's readers: the cell of every node, the cells' properties
// at their centres, the ticks' texts, and the units of the arrays.
TEST_F(AnalyzeTest, TheVtkFilesCarryTheCellOfEveryNodeThePropertiesTextsAndUnits) {
    ASSERT_EQ(analyze(options()), 0) << err;
    auto radar = read_vtk(dir / "radar.vti");
    auto* grid = vtkImageData::SafeDownCast(radar);
    ASSERT_NE(grid, nullptr);
    const std::vector<int> voxel_cell = ints_of(*radar, "cell");
    ASSERT_EQ(static_cast<vtkIdType>(voxel_cell.size()), radar->GetNumberOfPoints());
    // Every node of the isovolume lies on a voxel of its own cell: among the corners of the grid cell holding it.
    auto iso = read_vtk(dir / "isovolume.vtu");
    const std::vector<int> iso_cell = ints_of(*iso, "cell");
    ASSERT_EQ(static_cast<vtkIdType>(iso_cell.size()), iso->GetNumberOfPoints());
    EXPECT_EQ(std::set<int>(iso_cell.begin(), iso_cell.end()), (std::set<int>{1, 2, 3, 4, 5}));
    int dims[3];
    double origin[3], spacing[3];
    grid->GetDimensions(dims);
    grid->GetOrigin(origin);
    grid->GetSpacing(spacing);
    for (vtkIdType p = 0; p < iso->GetNumberOfPoints(); ++p) {
        double x[3];
        iso->GetPoint(p, x);
        // The voxels below and above the node along each axis (a node may lie half a spacing beyond the grid).
        int lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            const double f = (x[a] - origin[a]) / spacing[a];
            lo[a] = std::clamp(static_cast<int>(std::floor(f)), 0, dims[a] - 1);
            hi[a] = std::clamp(static_cast<int>(std::ceil(f)), 0, dims[a] - 1);
        }
        bool found = false;
        for (int c = 0; c < 8 && !found; ++c) {
            const int i = c & 1 ? hi[0] : lo[0], j = c & 2 ? hi[1] : lo[1], k = c & 4 ? hi[2] : lo[2];
            found = voxel_cell[static_cast<std::size_t>(i + dims[0] * (j + dims[1] * k))] == iso_cell[static_cast<std::size_t>(p)];
        }
        ASSERT_TRUE(found) << "isovolume node " << p << " of cell " << iso_cell[static_cast<std::size_t>(p)];
    }
    // The tops and the centres in the order of cells.csv, the centres with the properties of their cell.
    const auto stat = rows("cells.csv"), props = rows("cell_properties.csv");
    std::vector<int> numbers;
    for (std::size_t r = 1; r < stat.size(); ++r) numbers.push_back(std::stoi(stat[r][0]));
    auto tops = read_vtk(dir / "cell_tops.vtp");
    EXPECT_EQ(ints_of(*tops, "cell"), numbers);
    auto centres = read_vtk(dir / "centres.vtp");
    EXPECT_EQ(ints_of(*centres, "cell"), numbers);
    const auto column = [&](const std::string& name) {
        return static_cast<std::size_t>(std::find(props[0].begin(), props[0].end(), name) - props[0].begin());
    };
    for (const char* name : {"voxels", "volume_km3", "top_km"}) {
        auto* a = centres->GetPointData()->GetArray(name);
        ASSERT_NE(a, nullptr) << name;
        for (std::size_t k = 0; k < numbers.size(); ++k)
            for (std::size_t r = 1; r < props.size(); ++r) {
                if (std::stoi(props[r][0]) != numbers[k]) continue;
                EXPECT_NEAR(a->GetTuple1(static_cast<vtkIdType>(k)), std::stod(props[r][column(name)]), 1e-6) << name;
            }
    }
    auto ticks = read_vtk(dir / "legend_ticks.vtp");
    EXPECT_EQ(texts_of(ticks->GetPointData()->GetAbstractArray("label")),
              (std::vector<std::string>{"0 km", "2 km", "4 km", "6 km", "8 km", "10 km"}));
    // The volume carries its units on its arrays alone: velmora reads it back, and a volume's arrays hold numbers.
    EXPECT_EQ(radar->GetFieldData()->GetAbstractArray("units"), nullptr);
    EXPECT_EQ(unit_of(*radar, "DT") + " " + unit_of(*radar, "cell"), "dBZ 1");
    EXPECT_EQ(texts_of(iso->GetFieldData()->GetAbstractArray("units")),
              (std::vector<std::string>{"Points=km", "DT=dBZ", "voxel=1", "cell=1"}));
    const std::vector<std::string> centre_units = texts_of(centres->GetFieldData()->GetAbstractArray("units"));
    for (const char* u : {"cell=1", "volume_km3=km3", "max_dbz=dBZ", "vil_kg_m2=kg/m2", "tilt_dir_deg=degree"})
        EXPECT_NE(std::find(centre_units.begin(), centre_units.end(), u), centre_units.end()) << u;
    // The scene has no time: no TimeValue, and an empty time in the table.
    EXPECT_EQ(radar->GetFieldData()->GetAbstractArray("TimeValue"), nullptr);
    EXPECT_EQ(props[0].back(), "time");
    for (std::size_t r = 1; r < props.size(); ++r) EXPECT_EQ(props[r].size(), props[0].size() - 1) << "an empty last field";
}

// The CPOL volume's time in every table and file; its velocities labelled as such, without reflectivity's
// properties.
TEST_F(AnalyzeTest, TheVolumesTimeInEveryTableAndAVelocityInItsOwnUnits) {
    const std::string cpol = VELMORA_SOURCE_DIR "/../shared/data/cpol_200601200050.nc";
    if (!fs::exists(cpol)) GTEST_SKIP() << "no " << cpol;
    ASSERT_EQ(analyze(options(cpol)), 0) << err;
    std::istringstream lines(out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(second, "  time 2006-01-20T00:50:08Z");
    const auto props = rows("cell_properties.csv");
    ASSERT_EQ(props.size(), 8u);   // 7 cells of at least 10 km³
    for (std::size_t r = 0; r < props.size(); ++r) EXPECT_EQ(props[r].back(), r ? "2006-01-20T00:50:08Z" : "time");
    for (const char* f : {"radar.vti", "isovolume.vtu", "centres.vtp", "cell_tops.vtp", "legend_ticks.vtp"}) {
        auto d = read_vtk(dir / f);
        auto* t = vtkDoubleArray::SafeDownCast(d->GetFieldData()->GetAbstractArray("TimeValue"));
        ASSERT_NE(t, nullptr) << f;
        EXPECT_EQ(t->GetValue(0), 1137718208.0) << f;
    }
    // The isovolume's nodes numbered as the kept cells are; 0 in the areas too small to be cells.
    const std::vector<int> iso_cell = ints_of(*read_vtk(dir / "isovolume.vtu"), "cell");
    EXPECT_EQ(std::set<int>(iso_cell.begin(), iso_cell.end()), (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    AnalyzeOptions o = options(cpol);
    o.var = "VT";
    o.level = 5;
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_NE(out.find(" at 5 meters_per_second in cpol_200601200050.nc (VT)"), std::string::npos) << out;
    EXPECT_NE(out.find("max meters_per_second"), std::string::npos) << out;
    EXPECT_NE(out.find("VT is in meters_per_second, not a reflectivity: echo tops, mean reflectivity, VIL, water mass "
                       "and hail are left empty.\n"),
              std::string::npos)
        << out;
    const auto velocity = rows("cell_properties.csv");
    ASSERT_GT(velocity.size(), 1u);
    for (const char* empty : {"vil_kg_m2", "mass_kt", "echo_top_18_km", "mean_dbz"}) {
        const auto c = static_cast<std::size_t>(std::find(velocity[0].begin(), velocity[0].end(), empty) - velocity[0].begin());
        ASSERT_LT(c, velocity[0].size()) << empty;
        for (std::size_t r = 1; r < velocity.size(); ++r) EXPECT_EQ(velocity[r][c], "") << empty;
    }
    EXPECT_EQ(unit_of(*read_vtk(dir / "radar.vti"), "VT"), "meters_per_second");
    const auto centre_units = texts_of(read_vtk(dir / "centres.vtp")->GetFieldData()->GetAbstractArray("units"));
    EXPECT_NE(std::find(centre_units.begin(), centre_units.end(), "max_dbz=meters_per_second"), centre_units.end());
}

// A second run may read the results of the first; a run that fails, or that would replace what velmora did
// not write, leaves the earlier results as they were.
TEST_F(AnalyzeTest, EarlierResultsAreReplacedOnlyByARunThatSucceeded) {
    ASSERT_EQ(analyze(options()), 0) << err;
    const std::string cells = read("cells.csv"), radar = (dir / "radar.vti").string();
    ASSERT_EQ(analyze(options(radar)), 0) << err;
    EXPECT_NE(out.find("5 storm cells at 40 dBZ in radar.vti (DT)"), std::string::npos) << out;
    EXPECT_EQ(read("cells.csv"), cells);
    // The volume it read is among the results again, where its network reads it.
    EXPECT_NE(read("network.json").find("\"file\": \"" + radar + "\""), std::string::npos);
    const auto now = listing();
    const std::vector<std::pair<std::function<void(AnalyzeOptions&)>, std::string>> failing = {
        {[](AnalyzeOptions& o) { o.var = "DZ"; }, "radar.vti: no point data \"DZ\""},
        {[&](AnalyzeOptions& o) { o.volume = tmp.file("absent.nc"); }, "absent.nc: no such file"},
        {[&](AnalyzeOptions& o) { o.out = radar; }, "--out: " + radar + " is not a folder"},
    };
    for (const auto& [spoil, says] : failing) {
        AnalyzeOptions o = options(radar);
        spoil(o);
        EXPECT_EQ(analyze(o), 2) << says;
        EXPECT_NE(err.find(says), std::string::npos) << err;
        EXPECT_EQ(listing(), now) << says;
        EXPECT_EQ(read("cells.csv"), cells) << says;
        EXPECT_EQ(beside(), std::vector<std::string>{"out"}) << says;
    }
    // A file of the user's among them: the folder is not velmora's to replace.
    std::ofstream(dir / "my_notes.txt") << "notes\n";
    EXPECT_EQ(analyze(options()), 2);
    EXPECT_EQ(err, "velmora analyze: --out: " + dir.string() + " holds my_notes.txt, which velmora did not write: "
                   "velmora replaces only a folder of its own results (move my_notes.txt away, or choose another folder)\n");
    EXPECT_EQ(read("my_notes.txt"), "notes\n");
    EXPECT_EQ(read("cells.csv"), cells);
}

// A disk that fills: status 1, a message naming the file and the reason, the earlier results whole.
TEST_F(AnalyzeTest, AFullDiskKeepsTheEarlierResults) {
    const std::string scene = tmp.file("scene.nc");
    velmora::write_netcdf(scene, velmora::synthetic_volume());
    ASSERT_EQ(analyze(options(scene)), 0) << err;
    const std::string cells = read("cells.csv");
    const auto files = listing();
    for (const rlim_t limit : {rlim_t{2000}, rlim_t{60000}}) {
        const auto end = vtest::in_child([&] {
            velmora::AnalysisSummary summary;
            return velmora::analyze(options(scene), stderr, summary);
        }, limit);
        EXPECT_TRUE(end.exited && end.status == 1) << end.status << end.err;
        EXPECT_NE(end.err.find(": File too large"), std::string::npos) << end.err;
        EXPECT_EQ(end.err.find(".velmora-"), std::string::npos) << "names the file where it goes: " << end.err;
        EXPECT_EQ(end.err.find("vtk"), std::string::npos) << end.err;
        EXPECT_EQ(read("cells.csv"), cells);
        EXPECT_EQ(listing(), files);
        EXPECT_EQ(beside(), (std::vector<std::string>{"out", "scene.nc"}));
    }
}

// A FIFO is refused without being opened: opening it would wait for a writer for ever.
TEST_F(AnalyzeTest, AFifoIsRefusedAtOnce) {
    const std::string fifo = tmp.file("volume.nc");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto end = vtest::in_child([&] {
        velmora::AnalysisSummary summary;
        return velmora::analyze(options(fifo), stderr, summary);
    }, 0, 20);
    EXPECT_TRUE(end.exited && end.status == 2) << end.status;
    EXPECT_EQ(end.err, "velmora analyze: " + fifo + ": not a regular file (a FIFO)\n");
}

TEST_F(AnalyzeTest, UsageErrorsAndACellFillingTheVolume) {
    const std::string nowhere = tmp.file("nowhere.nc");
    const std::vector<std::pair<std::function<void(AnalyzeOptions&)>, std::string>> refused = {
        {[&](AnalyzeOptions& o) { o.volume = nowhere; }, nowhere + ": no such file"},
        {[](AnalyzeOptions& o) { o.level = NAN; }, "--level: not a finite number from -100 to 100 dBZ: \"nan\""},
        {[](AnalyzeOptions& o) { o.level = INFINITY; }, "--level: not a finite number from -100 to 100 dBZ: \"inf\""},
        {[](AnalyzeOptions& o) { o.echo_tops = {30, 30}; }, "--echo-tops: the echo-top level 30 dBZ is given twice"},
        {[](AnalyzeOptions& o) { o.split.levels = {40}; },
         "--split-levels: the split levels must lie above the level of the cells, 40 dBZ"},
        {[](AnalyzeOptions& o) { o.split.levels = {45, 45}; },
         "--split-levels: the split levels must rise, each above the one before"},
        {[](AnalyzeOptions& o) { o.split = {{45}, 0}; }, "--min-core: a core must have at least 1 voxel"},
    };
    for (const auto& [spoil, message] : refused) {
        AnalyzeOptions o = options();
        spoil(o);
        EXPECT_EQ(analyze(o), 2) << message;
        EXPECT_EQ(err, "velmora analyze: " + message + "\n");
    }
    // Every voxel at the level: no surface to extract, one cell filling the volume, and nothing reported.
    velmora::Volume v;
    v.name = "DT";
    v.x = {0, 1, 2, 3};
    v.y = {0, 1, 2};
    v.z = {0.5f, 1.0f};
    v.values.assign(24, 50.0f);
    velmora::write_netcdf(tmp.file("full.nc"), v);
    EXPECT_EQ(analyze(options(tmp.file("full.nc"))), 0);
    EXPECT_NE(out.find("1 storm cell at 40 dBZ in full.nc (DT)"), std::string::npos) << out;
    EXPECT_NE(out.find("     1      24     1.0     50.0        12.0        2.5"), std::string::npos) << out;
    EXPECT_EQ(err, "");
    EXPECT_TRUE(vhost::host().messages().empty());
}

TEST_F(AnalyzeTest, DividedCellsInEveryResult) {
    // One cell of two 50 dBZ cores of 8 voxels in a row, joined by a bridge of two 42 dBZ voxels, in 0 dBZ.
    velmora::Volume v;
    v.name = "DT";
    for (int i = 0; i < 18; ++i) v.x.push_back(float(i));
    v.y = {0, 1};
    v.z = {0.5f, 1.0f};
    v.values.assign(18 * 2 * 2, 0.0f);
    for (int i = 0; i < 18; ++i) v.values[std::size_t(i)] = i == 8 || i == 9 ? 42.0f : 50.0f;
    velmora::write_netcdf(tmp.file("two.nc"), v);
    AnalyzeOptions o = options(tmp.file("two.nc"));
    o.min_volume_km3 = 0;   // a cell of 9 km³
    // At 45 dBZ the cell divides, each core with a voxel of the bridge; other echo tops name other columns.
    o.split.levels = {45};
    o.echo_tops = {45, 17.5};
    o.timings = true;
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_NE(err.find("velmora: split cells (45 dBZ)"), std::string::npos) << err;
    const auto cells = rows("cells.csv"), props = rows("cell_properties.csv");
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[1][0] + " " + cells[1][1] + " " + cells[2][0] + " " + cells[2][1], "1 9 2 9");
    ASSERT_EQ(props.size(), 3u);
    ASSERT_EQ(props[0].size(), 30u);   // 23 and the rotation's 7, empty
    EXPECT_EQ(props[0][7] + " " + props[0][8], "echo_top_45_km echo_top_17.5_km");
    EXPECT_EQ(props[1][0] + " " + props[1][1] + " " + props[1][2], "1 1 9");
    EXPECT_EQ(props[2][0] + " " + props[2][1] + " " + props[2][2], "2 1 9");
    EXPECT_NE(out.find("2 storm cells at 40 dBZ"), std::string::npos) << out;
}

TEST(SurfaceCells, NodesTakeTheNumberOfTheStrongestInsideCorner) {
    velmora::Volume v;
    v.x = {0, 1, 2};
    v.y = {0, 1};
    v.z = {0, 1};
    v.has_null = true;
    v.null_value = -1;
    v.values = {45, 20, 20, 50, 20, 20, /* k = 1 */ -1, 20, 20, 20, 20, 20};
    const std::vector<std::int32_t> grid_no = {1, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<float> xyz = {0.5f, 0.5f, 0.5f, 1.5f, 0.5f, 0.5f, 9.0f, 9.0f, 9.0f};
    // The first node's cell holds both inside voxels (50 dBZ wins); the third node is clamped into the last cell.
    EXPECT_EQ(velmora::cells_of_surface(v, v.values, grid_no, xyz, 40.0), (std::vector<std::int32_t>{2, 0, 0}));
}

// A network field read from a volume file, its relative path taken from the network's folder.
TEST(VolumeFileField, ReadsRelativeToTheNetworkAndNamesTheProblem) {
    vtest::TempDir dir;
    velmora::write_netcdf(dir.file("scene.nc"), velmora::synthetic_volume());
    auto build = [&](const std::string& var) {
        vhost::host().reset();
        const std::string text = "{\"fields\": {\"radar\": {\"file\": \"scene.nc\",\n  \"var\": " + var + "}}}";
        return vtest::error_of<velmora::NetworkError>(
            [&] { velmora::build_network(velmora::Document::read(dir.write("net.json", text))); });
    };
    ASSERT_EQ(build("\"DT\""), "");
    vhost::FieldRef radar(vhost::host().root().at("radar"));
    EXPECT_EQ(radar.dims(), (std::vector<std::int64_t>{80, 60, 20}));
    EXPECT_EQ(radar.label(0), "DT");
    EXPECT_EQ(build("\"DT\", \"time\": 0"), "");
    const std::string at = dir.file("net.json:1:31: error: ") + dir.file("scene.nc: ");
    EXPECT_EQ(build("\"DT\", \"time\": 1"), at + "variable DT has no time step 1; it holds 1 (0 to 0)");
    EXPECT_EQ(build("\"ZH\""), at + "no variable \"ZH\" (variables on a grid: DT)");
    vhost::host().reset();
}

}  // namespace
