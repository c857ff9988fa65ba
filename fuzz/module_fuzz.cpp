// Module updates on fuzzed fields and parameters, through the substitute
// host. The first bytes choose the module (every library module and host
// operation), then one or two fields (a uniform grid, a grid with explicit
// coordinates, or scattered nodes with a cell set; node data of any type,
// vector length and null value; a transform), the instance's parameters and
// the entry points called. Sizes stay small so that each input runs fast.
// A crash, a sanitizer report, or a host array left unreleased is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "field_ref.h"
#include "fuzz_support.h"
#include "rain_mesh_bound.h"
#include "host.h"
#include "om.h"
#include "run/operations.h"

namespace {

using vhost::FieldRef;
using vhost::Kind;
using vhost::Object;
using vhost::Role;

constexpr std::int64_t kMaxNodes = 512;
constexpr std::int64_t kMaxCells = 256;
constexpr int kMaxComps = 4;
constexpr int kMaxVeclen = 4;
constexpr std::int64_t kMaxCount = 6;   // groups, planes, ticks, picked points
constexpr std::int64_t kMaxAreaRange = 64;

double real_value(FuzzedDataProvider& in) {
    static const double palette[] = {0.0, 1.0, -1.0, 0.5, 2.0, 10.0, 15.0, 35.0, 40.0, 60.0, 100.0, -9999.0,
                                     1e-30, 1e30, -1e30, 1e300,
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::quiet_NaN()};
    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(palette) + 2);
    if (pick < std::size(palette)) return palette[pick];
    if (pick == std::size(palette)) return in.ConsumeFloatingPointInRange<double>(-100.0, 100.0);
    if (pick == std::size(palette) + 1) return static_cast<double>(in.ConsumeIntegralInRange<int>(-20, 80));
    double d = 0;
    const auto bytes = in.ConsumeBytes<std::uint8_t>(sizeof d);
    if (!bytes.empty()) std::memcpy(&d, bytes.data(), bytes.size());
    return d;
}

std::int64_t int_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return -1;
        case 3: return in.ConsumeIntegral<std::int32_t>();
        case 4: return in.ConsumeBool() ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int32_t>::min();
        default: return in.ConsumeIntegralInRange<std::int64_t>(-3, 12);
    }
}

// Node data of any host type, values from the palette.
void add_component(FuzzedDataProvider& in, FieldRef f, int comp) {
    static const int types[] = {DTYPE_FLOAT, DTYPE_FLOAT, DTYPE_FLOAT, DTYPE_INT, DTYPE_INT,
                                DTYPE_BYTE, DTYPE_SHORT, DTYPE_DOUBLE, DTYPE_LONG, DTYPE_CHAR};
    const int type = types[in.ConsumeIntegralInRange<std::size_t>(0, std::size(types) - 1)];
    const int veclen = in.ConsumeIntegralInRange<int>(0, 10) < 8 ? 1 : in.ConsumeIntegralInRange<int>(0, kMaxVeclen);
    static const char* const labels[] = {"ze", "rain", "u", "v", "w", "area_no", "", "mask", "voxel"};
    f.declare_component(comp, type, veclen, labels[in.ConsumeIntegralInRange<std::size_t>(0, std::size(labels) - 1)]);
    Object& values = f.component(comp).at("values");
    values.fit();
    const std::int64_t n = values.length();
    for (std::int64_t i = 0; i < n && values.data(); ++i) {
        const double v = in.ConsumeIntegralInRange<int>(0, 3) == 0 ? real_value(in)
                                                                    : static_cast<double>(in.ConsumeIntegralInRange<int>(-5, 60));
        switch (type) {
            case DTYPE_FLOAT: values.as<float>()[i] = static_cast<float>(v); break;
            case DTYPE_DOUBLE: values.as<double>()[i] = v; break;
            default: {
                // Whole numbers of the type's own range.
                const double w = std::isfinite(v) ? std::fmax(-100000.0, std::fmin(100000.0, v)) : 0.0;
                const auto x = static_cast<std::int64_t>(w);
                if (type == DTYPE_INT) values.as<std::int32_t>()[i] = static_cast<std::int32_t>(x);
                else if (type == DTYPE_LONG) values.as<std::int64_t>()[i] = x;
                else if (type == DTYPE_SHORT) values.as<std::int16_t>()[i] = static_cast<std::int16_t>(x);
                else values.as<std::uint8_t>()[i] = static_cast<std::uint8_t>(x);
            }
        }
    }
    if (in.ConsumeBool()) f.null_value(comp, in.ConsumeBool() ? -9999.0 : real_value(in), in.ConsumeIntegralInRange<int>(0, 1));
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) f.component(comp).at("units").set_str(in.ConsumeBool() ? "dBZ" : "m/s");
}

// One field named name, small; with like, often on the same nodes (the
// area numbers, masks and isovolumes the modules read beside a grid).
void make_field(FuzzedDataProvider& in, const std::string& name, Object* like) {
    Object& obj = vhost::host().add_field(name);
    FieldRef f(obj);
    const int shape = like && in.ConsumeBool() ? 4 : in.ConsumeIntegralInRange<int>(0, 3);
    std::int64_t nnodes = 0;
    if (shape == 4) {
        FieldRef l(*like);
        nnodes = l.nnodes();
        f.nnodes(nnodes).nspace(l.nspace());
        if (!l.dims().empty()) f.dims(l.dims());
        if (l.object().at("uniform").int_value() == 1) {
            f.object().at("uniform").set_int(1);
            vhost::set_floats(f.object().at("points"), l.points());
        } else if (!l.coord().empty()) {
            f.coord(l.coord());
        }
    } else if (shape <= 1) {
        // A grid of 1 to 3 dimensions (mostly 3): uniform, or with every
        // coordinate given.
        static const int ndims[] = {1, 2, 3, 3, 3, 3};
        const int ndim = ndims[in.ConsumeIntegralInRange<std::size_t>(0, std::size(ndims) - 1)];
        std::vector<std::int64_t> dims;
        nnodes = 1;
        for (int a = 0; a < ndim; ++a) {
            const std::int64_t d = in.ConsumeIntegralInRange<std::int64_t>(1, std::max<std::int64_t>(1, std::min<std::int64_t>(8, kMaxNodes / nnodes)));
            dims.push_back(d);
            nnodes *= d;
        }
        if (shape == 0) {
            std::vector<float> corners;
            for (int c = 0; c < 2 * ndim; ++c) corners.push_back(static_cast<float>(in.ConsumeIntegralInRange<int>(0, 3) == 0 ? real_value(in) : in.ConsumeIntegralInRange<int>(-3, 40) * 500.0));
            f.uniform(dims, corners);
            if (in.ConsumeIntegralInRange<int>(0, 7) == 0) f.nspace(in.ConsumeIntegralInRange<int>(1, 3));
        } else {
            const int nspace = in.ConsumeIntegralInRange<int>(1, 3);
            // A network file may give a grid with coordinates fewer or more
            // nodes than its dims make; the modules must notice.
            if (in.ConsumeIntegralInRange<int>(0, 7) == 0) nnodes = in.ConsumeIntegralInRange<std::int64_t>(0, kMaxNodes);
            f.dims(dims).nnodes(nnodes).nspace(nspace);
            std::vector<float> xyz(static_cast<std::size_t>(nnodes * nspace));
            for (auto& x : xyz) x = static_cast<float>(in.ConsumeIntegralInRange<int>(0, 7) == 0 ? real_value(in) : in.ConsumeIntegralInRange<int>(-50, 50) * 250.0);
            f.coord(xyz);
        }
    } else if (shape == 2) {
        // Scattered nodes and a cell set over them.
        nnodes = in.ConsumeIntegralInRange<std::int64_t>(0, 64);
        const int nspace = in.ConsumeIntegralInRange<int>(1, 3);
        f.nnodes(nnodes).nspace(nspace);
        std::vector<float> xyz(static_cast<std::size_t>(nnodes * nspace));
        for (auto& x : xyz) x = static_cast<float>(in.ConsumeIntegralInRange<int>(0, 7) == 0 ? real_value(in) : in.ConsumeIntegralInRange<int>(-50, 50) * 100.0);
        f.coord(xyz);
        static const char* const types[] = {"Point", "Line", "Polyline", "Tri", "Quad", "Tet", "Pyr", "Prism", "Hex"};
        const int sets = in.ConsumeIntegralInRange<int>(0, 2);
        for (int s = 0; s < sets && nnodes > 0; ++s) {
            const std::string type = types[in.ConsumeIntegralInRange<std::size_t>(0, std::size(types) - 1)];
            const int per = vhost::cell_type_nodes(type);
            const std::int64_t ncells = in.ConsumeIntegralInRange<std::int64_t>(0, kMaxCells / per);
            std::vector<std::int64_t> connect(static_cast<std::size_t>(ncells * per));
            for (auto& c : connect) c = in.ConsumeIntegralInRange<std::int64_t>(0, nnodes - 1);
            if (type == "Polyline") f.polylines(connect);
            else f.cells(type, connect);
        }
    } else {
        // Counts only: a field without geometry.
        nnodes = in.ConsumeIntegralInRange<std::int64_t>(0, 16);
        f.nnodes(nnodes);
    }
    const int ncomp = in.ConsumeIntegralInRange<int>(0, kMaxComps);
    for (int c = 0; c < ncomp; ++c) add_component(in, f, c);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        std::vector<float> mat(16, 0.0f);
        for (int i = 0; i < 4; ++i) mat[static_cast<std::size_t>(i * 5)] = 1.0f;
        for (int i = 0; i < 3; ++i) mat[static_cast<std::size_t>(in.ConsumeIntegralInRange<int>(0, 15))] = static_cast<float>(real_value(in));
        f.xform_array("mat", mat);
        if (in.ConsumeBool()) f.xform_array("xlate", {static_cast<float>(real_value(in)), 0.0f, 0.0f});
    }
}

// A text parameter: file names inside the scratch folder (and some that
// the host must refuse), formats and labels as they come.
std::string text_value(FuzzedDataProvider& in, const std::string& name) {
    if (name == "filename" || name == "dirname" || name == "prefix") {
        static const char* const names[] = {"out.txt", "sub/out.txt", "", ".", "sub", "../refused.txt", "/proc/refused", "view"};
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(names));
        if (pick < std::size(names)) return names[pick];
    }
    if (name == "format") {
        static const char* const formats[] = {"%.1f", "%g", "%5.2f", "%d", "%s", "%f%f", "%n", "%%", "%.100f", "%1000f", "x"};
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(formats));
        if (pick < std::size(formats)) return formats[pick];
    }
    return in.ConsumeRandomLengthString(12);
}

bool is_count(const std::string& name) {
    return name == "nsurf" || name == "ncomp" || name == "fr_num" || name == "bk_num" || name == "npicked" ||
           name == "ndiv" || name == "plane_num" || name == "npoints" || name == "cnt";
}

// Sets the values below obj: counts first (they come first in every
// declaration), then whatever they size.
void fill(FuzzedDataProvider& in, Object& obj, int depth) {
    if (depth > 6) return;
    for (std::size_t i = 0; i < obj.children().size(); ++i) {
        Object& c = *obj.children()[i];
        if (depth == 0 && c.role() != Role::In && c.role() != Role::InOut) continue;
        if (c.kind() == Kind::Link || c.kind() == Kind::Field) continue;
        // Some values keep their declared default, some are left unset.
        const int how = in.ConsumeIntegralInRange<int>(0, 9);
        if (how == 0) continue;
        if (how == 1 && depth == 0 && (c.kind() == Kind::Int || c.kind() == Kind::Real || c.kind() == Kind::String)) {
            c.clear_value();
            continue;
        }
        switch (c.kind()) {
            case Kind::Int:
            case Kind::Long:
                c.set_int(is_count(c.name()) ? in.ConsumeIntegralInRange<std::int64_t>(-1, kMaxCount) : int_value(in));
                break;
            case Kind::Real: c.set_real(real_value(in)); break;
            case Kind::String: c.set_str(text_value(in, c.name())); break;
            case Kind::Array: {
                if (!c.shaped()) c.resize(in.ConsumeIntegralInRange<std::int64_t>(0, 4));
                c.fit();
                std::vector<double> v(static_cast<std::size_t>(std::max<std::int64_t>(0, c.length())));
                for (auto& x : v) x = c.elem_type() == DTYPE_FLOAT || c.elem_type() == DTYPE_DOUBLE ? real_value(in) : static_cast<double>(in.ConsumeIntegralInRange<int>(-2, 8));
                c.assign_doubles(v);
                break;
            }
            case Kind::StrArray:
                for (auto& s : c.strings()) s = in.ConsumeRandomLengthString(8);
                break;
            case Kind::GroupArray:
                c.fit();
                for (std::size_t e = 0; e < c.children().size(); ++e) fill(in, *c.children()[e], depth + 1);
                break;
            case Kind::Group: fill(in, c, depth + 1); break;
            default: break;
        }
    }
}

// Area numbers: a range CalcStatistic and WriteIsoIJK walk number by number.
void bound_area_range(Object& inst) {
    Object* lo = inst.child("no_min");
    Object* hi = inst.child("no_max");
    if (!lo || !hi || lo->kind() != Kind::Int || hi->kind() != Kind::Int) return;
    if (lo->role() != Role::In || !lo->has_value() || !hi->has_value()) return;
    if (hi->int_value() - lo->int_value() > kMaxAreaRange) hi->set_int(lo->int_value() + kMaxAreaRange);
}

std::vector<const vhost::ModuleDecl*>& modules() {
    static std::vector<const vhost::ModuleDecl*> list;
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velmora::fuzz::silence_stdout();
    velmora::register_operations();
    modules() = vhost::all_modules();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // VELMORA_FUZZ_VERBOSE=1: each call, its done and the reported texts
    // on standard error, to see what a corpus reaches.
    static const bool verbose = std::getenv("VELMORA_FUZZ_VERBOSE") != nullptr;
    FuzzedDataProvider in(data, size);
    const auto& list = modules();
    const vhost::ModuleDecl& decl = *list[in.ConsumeIntegralInRange<std::size_t>(0, list.size() - 1)];

    vhost::Host& host = vhost::host();
    host.reset();
    host.set_error_stream(nullptr);
    const velmora::fuzz::InWorkFolder here(velmora::fuzz::scratch().work());
    const vhost::ConfinedWrites confined(host, {velmora::fuzz::scratch().work()});
    Object* inst = nullptr;
    try {
        make_field(in, "a", nullptr);
        if (in.ConsumeBool()) make_field(in, "b", host.root().child("a"));
        inst = &host.add_instance("m", decl.name);
        // Every field input is linked to one of the fields, or left alone.
        std::vector<std::string> inputs;
        for (const auto& c : inst->children())
            if (c->kind() == Kind::Field && (c->role() == Role::In || c->role() == Role::InOut)) inputs.push_back(c->name());
        for (const auto& name : inputs) {
            const int to = in.ConsumeIntegralInRange<int>(0, 5);
            if (to == 0) continue;
            const char* target = to <= 3 || !host.root().child("b") ? "a" : "b";
            host.link("m." + name, target);
        }
        fill(in, *inst, 0);
        bound_area_range(*inst);
        if (decl.name == "MakeRainMesh" && velmora::fuzz::rain_mesh_too_long(*inst)) return 0;
    } catch (const std::exception&) {
        // Values the host's tree refuses to hold: nothing to run.
        return 0;
    }
    // The entry points, in the order the bytes give: updates, clears, and
    // updates again on what the first ones left. Nothing may be thrown
    // through a module's C entry point.
    const int calls = in.ConsumeIntegralInRange<int>(1, 3);
    for (int k = 0; k < calls; ++k) {
        const auto& entry = decl.entries[in.ConsumeIntegralInRange<std::size_t>(0, decl.entries.size() - 1)];
        try {
            host.call(*inst, entry);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora fuzz: %s %s threw: %s\n", decl.name.c_str(), entry.c_str(), e.what());
            std::abort();
        }
        if (verbose) {
            Object* done = inst->find("done");
            std::fprintf(stderr, "velmora fuzz: %s %s: done %lld\n", decl.name.c_str(), entry.c_str(),
                         done && done->has_value() ? static_cast<long long>(done->int_value()) : -1LL);
            for (const auto& r : host.reports()) std::fprintf(stderr, "  %s", r.text.c_str());
        }
        if (host.outstanding_arrays() != 0 || host.bad_releases() != 0) {
            std::fprintf(stderr, "velmora fuzz: %s %s left %lld host array(s) unreleased, %lld released twice\n",
                         decl.name.c_str(), entry.c_str(), static_cast<long long>(host.outstanding_arrays()),
                         static_cast<long long>(host.bad_releases()));
            std::abort();
        }
    }
    velmora::fuzz::scratch().clear();
    return 0;
}
