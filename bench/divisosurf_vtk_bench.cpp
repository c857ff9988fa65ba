// DivIsosurfUpdate against VTK's vtkPolyDataConnectivityFilter (all regions,
// coloured) on one isosurface of about a million triangles, extracted with
// vtkFlyingEdges3D at 30 dBZ from a synthetic storm volume (convective
// cells over a stratiform layer, with small-scale texture). Both run side by
// side in one process, their repetitions interleaved; the program prints the
// two medians, their ratio, the merge passes of the labelling, and checks
// that both give the same partition of the nodes (and that the labelling is
// bit for bit the plain reference reading).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <vtkCellArray.h>
#include <vtkCellArrayIterator.h>
#include <vtkDataArray.h>
#include <vtkFlyingEdges3D.h>
#include <vtkFloatArray.h>
#include <vtkIdTypeArray.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataConnectivityFilter.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../tests/modules/labeling_reference.h"
#include "field_ref.h"
#include "host.h"

namespace {

constexpr double kThreshold = 30.0;   // dBZ
constexpr int kNx = 480, kNy = 480, kNz = 64;

// Smooth random texture: values on a coarse lattice, interpolated.
class ValueNoise {
public:
    ValueNoise(std::mt19937& rng, int step, double amplitude) : step_(step) {
        nx_ = kNx / step + 2;
        ny_ = kNy / step + 2;
        nz_ = kNz / step + 2;
        std::uniform_real_distribution<double> u(-amplitude, amplitude);
        v_.resize(static_cast<std::size_t>(nx_) * ny_ * nz_);
        for (auto& x : v_) x = u(rng);
    }
    double at(int i, int j, int k) const {
        const double x = static_cast<double>(i) / step_, y = static_cast<double>(j) / step_,
                     z = static_cast<double>(k) / step_;
        const int x0 = static_cast<int>(x), y0 = static_cast<int>(y), z0 = static_cast<int>(z);
        const double fx = x - x0, fy = y - y0, fz = z - z0;
        double s = 0.0;
        for (int c = 0; c < 8; ++c) {
            const int dx = c & 1, dy = (c >> 1) & 1, dz = c >> 2;
            const double w = (dx ? fx : 1 - fx) * (dy ? fy : 1 - fy) * (dz ? fz : 1 - fz);
            s += w * v_[(static_cast<std::size_t>(z0 + dz) * ny_ + (y0 + dy)) * nx_ + (x0 + dx)];
        }
        return s;
    }

private:
    int step_, nx_, ny_, nz_;
    std::vector<double> v_;
};

// Reflectivity (dBZ) of a deterministic storm scene on a kNx x kNy x kNz grid.
vtkSmartPointer<vtkImageData> storm_volume() {
    std::mt19937 rng(20060120);
    struct Cell {
        double x, y, z, rh, rv, peak;
    };
    std::vector<Cell> cells;
    std::uniform_real_distribution<double> ux(20, kNx - 20), uy(20, kNy - 20), uz(6, 22), urh(6, 26), urv(6, 20),
        upeak(38, 56);
    for (int c = 0; c < 76; ++c) cells.push_back({ux(rng), uy(rng), uz(rng), urh(rng), urv(rng), upeak(rng)});
    ValueNoise coarse(rng, 9, 7.0), fine(rng, 3, 3.5);

    auto image = vtkSmartPointer<vtkImageData>::New();
    image->SetDimensions(kNx, kNy, kNz);
    image->SetSpacing(1000.0, 1000.0, 250.0);
    image->AllocateScalars(VTK_FLOAT, 1);
    auto* z = static_cast<float*>(image->GetScalarPointer());
    for (int k = 0; k < kNz; ++k)
        for (int j = 0; j < kNy; ++j)
            for (int i = 0; i < kNx; ++i) {
                // Stratiform rain fading with height, then the convective cores.
                double dbz = 24.0 - 0.25 * k;
                for (const Cell& c : cells) {
                    const double dx = (i - c.x) / c.rh, dy = (j - c.y) / c.rh, dz = (k - c.z) / c.rv;
                    const double r2 = dx * dx + dy * dy + dz * dz;
                    if (r2 < 9.0) dbz = std::max(dbz, c.peak - 9.0 * r2);
                }
                dbz += coarse.at(i, j, k) + fine.at(i, j, k);
                z[(static_cast<std::size_t>(k) * kNy + j) * kNx + i] = static_cast<float>(dbz);
            }
    return image;
}

struct Scene {
    vtkSmartPointer<vtkPolyData> surface;
    std::vector<std::int64_t> tris;
    std::int64_t nnodes = 0;
    vhost::Object* div = nullptr;
};

Scene& scene() {
    static Scene s;
    return s;
}

// Runs the update with its console table sent to /dev/null.
void call_division() {
    static const int null_fd = ::open("/dev/null", O_WRONLY);
    std::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(null_fd, 1);
    vhost::host().call(*scene().div);
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
}

void BM_DivIsosurf(benchmark::State& state) {
    for (auto _ : state) call_division();
    state.counters["triangles"] = static_cast<double>(scene().tris.size() / 3);
}

void BM_VtkConnectivity(benchmark::State& state) {
    for (auto _ : state) {
        vtkNew<vtkPolyDataConnectivityFilter> filter;
        filter->SetInputData(scene().surface);
        filter->SetExtractionModeToAllRegions();
        filter->ColorRegionsOn();
        filter->Update();
        benchmark::DoNotOptimize(filter->GetOutput()->GetNumberOfPoints());
    }
}

// Keeps the medians of the repetitions while printing as usual.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(OO_Tabular) {}
    struct Median {
        double real_ms = 0.0, cpu_ms = 0.0;
    };
    std::map<std::string, Median> median;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")   // times in the unit set: ms
                median[r.run_name.function_name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
};

// True when the two labellings put the same nodes together.
bool same_partition(const std::vector<int>& a, const std::vector<vtkIdType>& b) {
    if (a.size() != b.size()) return false;
    std::map<int, vtkIdType> ab;
    std::map<vtkIdType, int> ba;
    for (std::size_t n = 0; n < a.size(); ++n) {
        if (ab.emplace(a[n], b[n]).first->second != b[n]) return false;
        if (ba.emplace(b[n], a[n]).first->second != a[n]) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // --- the mesh ---
    vtkSmartPointer<vtkImageData> volume = storm_volume();
    vtkNew<vtkFlyingEdges3D> contour;
    contour->SetInputData(volume);
    contour->SetValue(0, kThreshold);
    contour->ComputeNormalsOff();
    contour->ComputeGradientsOff();
    contour->ComputeScalarsOff();
    contour->Update();
    Scene& s = scene();
    s.surface = contour->GetOutput();
    s.nnodes = s.surface->GetNumberOfPoints();
    {
        auto it = vtk::TakeSmartPointer(s.surface->GetPolys()->NewIterator());
        for (it->GoToFirstCell(); !it->IsDoneWithTraversal(); it->GoToNextCell()) {
            vtkIdType npts;
            const vtkIdType* pts;
            it->GetCurrentCell(npts, pts);
            for (vtkIdType k = 0; k < npts; ++k) s.tris.push_back(pts[k]);
        }
    }
    std::vector<float> xyz(static_cast<std::size_t>(s.nnodes) * 3);
    for (vtkIdType p = 0; p < s.nnodes; ++p) {
        double x[3];
        s.surface->GetPoint(p, x);
        for (int a = 0; a < 3; ++a) xyz[static_cast<std::size_t>(p) * 3 + a] = static_cast<float>(x[a]);
    }

    // --- the same mesh as a host field, and the division on it ---
    vhost::Host& host = vhost::host();
    host.set_error_stream(stderr);
    vhost::Object& surf = host.add_field("isosurface");
    vhost::FieldRef(surf).nnodes(s.nnodes).nspace(3).coord(xyz).cells("Tri", s.tris);
    s.div = &host.add_instance("divide", "DivIsosurf");
    host.link("divide.in", "isosurface");
    s.div->at("min_cells").set_int(0);

    // --- one checked run of each ---
    call_division();
    std::vector<int> area_no = vhost::FieldRef(s.div->at("out_nd")).int_values(0);
    std::vector<int> want;
    const auto t0 = std::chrono::steady_clock::now();
    vref::Labelling ref = vref::label(s.tris, 3, s.nnodes, want, 0);
    const double plain_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    vref::filter(s.tris, 3, want, 0, ref.result);
    const bool same_as_reference = area_no == want && host.reports().empty() == ref.message.empty();

    // VTK reorders the points it outputs: the check runs on a copy of the
    // surface that carries each point's id along (the timed runs do not).
    vtkNew<vtkPolyData> tagged;
    tagged->ShallowCopy(s.surface);
    vtkNew<vtkIdTypeArray> ids;
    ids->SetName("PointId");
    ids->SetNumberOfTuples(s.nnodes);
    for (vtkIdType p = 0; p < s.nnodes; ++p) ids->SetValue(p, p);
    tagged->GetPointData()->AddArray(ids);
    vtkNew<vtkPolyDataConnectivityFilter> filter;
    filter->SetInputData(tagged);
    filter->SetExtractionModeToAllRegions();
    filter->ColorRegionsOn();
    filter->Update();
    vtkPolyData* colored = filter->GetOutput();
    vtkDataArray* region = colored->GetPointData()->GetArray("RegionId");
    vtkDataArray* origin = colored->GetPointData()->GetArray("PointId");
    std::vector<vtkIdType> region_id(static_cast<std::size_t>(s.nnodes), -1);
    bool same = region && origin && colored->GetNumberOfPoints() == s.nnodes;
    for (vtkIdType p = 0; same && p < s.nnodes; ++p) {
        const auto o = static_cast<vtkIdType>(origin->GetTuple1(p));
        same = o >= 0 && o < s.nnodes && region_id[static_cast<std::size_t>(o)] == -1;
        if (same) region_id[static_cast<std::size_t>(o)] = static_cast<vtkIdType>(region->GetTuple1(p));
    }
    same = same && same_partition(area_no, region_id);

    // --- timing, the two interleaved ---
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());   // options given on the command line still win
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    benchmark::RegisterBenchmark("DivIsosurfUpdate", BM_DivIsosurf)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(15)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("vtkPolyDataConnectivityFilter", BM_VtkConnectivity)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(15)
        ->ReportAggregatesOnly(true);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.median["DivIsosurfUpdate"];
    const auto vtk = reporter.median["vtkPolyDataConnectivityFilter"];
    const int areas = vhost::FieldRef(s.div->at("out_nd")).nnodes() > 0 ? static_cast<int>(s.div->at("no_max").int_value()) : 0;
    std::printf("\nisosurface at %.0f dBZ: %zu triangles, %lld nodes, %d areas, %d merge passes\n", kThreshold,
                s.tris.size() / 3, static_cast<long long>(s.nnodes), areas, ref.passes);
    std::printf("medians                               wall ms    cpu ms\n");
    std::printf("DivIsosurfUpdate                     %9.1f %9.1f\n", ours.real_ms, ours.cpu_ms);
    std::printf("vtkPolyDataConnectivityFilter        %9.1f %9.1f\n", vtk.real_ms, vtk.cpu_ms);
    std::printf("ratio DivIsosurf / VTK               %9.3f %9.3f   (target <= 0.5)\n",
                vtk.real_ms > 0 ? ours.real_ms / vtk.real_ms : 0.0, vtk.cpu_ms > 0 ? ours.cpu_ms / vtk.cpu_ms : 0.0);
    std::printf("(the plain reading of the labelling alone, one run: %.1f ms wall)\n", plain_ms);
    std::printf("same partition of nodes as VTK: %s; labels identical to the reference reading: %s\n",
                same ? "yes" : "NO", same_as_reference ? "yes" : "NO");
    return same && same_as_reference ? 0 : 1;
}
