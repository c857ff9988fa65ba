// What every volume reader shares, read_volume choosing the reader by the
// file's extension, and volumes put into the host's tree as fields.
#include "io/volume.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "io/input_file.h"
#include "io/volume_reading.h"
#include "field_ref.h"
#include "host_ops.h"

namespace velmora {

namespace volume_reading {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

void check_size(const std::string& path, std::size_t nx, std::size_t ny, std::size_t nz, std::int64_t max_nodes) {
    const double n = static_cast<double>(nx) * static_cast<double>(ny) * static_cast<double>(nz);
    if (n > static_cast<double>(max_nodes))
        fail(path, "the volume has " + std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) +
                       " nodes; at most " + std::to_string(max_nodes) + " are read");
}

// The storage the values of v go to: the sink's, or v's own.
std::span<float> storage_for(Volume& v, std::size_t n, const ValueSink& sink, const std::string& path) {
    if (!sink) {
        v.values.resize(n);
        return v.values;
    }
    const std::span<float> to = sink(v);
    if (to.size() != n) fail(path, "no room for the " + std::to_string(n) + " values of " + v.name);
    return to;
}

}  // namespace volume_reading

namespace {

using volume_reading::fail;

bool evenly_spaced(const std::vector<float>& a) {
    if (a.size() < 2) return true;
    double step = (static_cast<double>(a.back()) - a.front()) / static_cast<double>(a.size() - 1);
    for (size_t i = 1; i < a.size(); ++i)
        if (std::fabs((static_cast<double>(a[i]) - a[i - 1]) - step) > 1e-4 * std::fabs(step)) return false;
    return true;
}

}  // namespace

Volume read_volume(const std::string& path, const std::string& var, const ValueSink& sink, long time,
                   std::int64_t max_nodes) {
    require_input_file(path);
    auto ends = [&](const char* ext) {
        std::string e(ext);
        return path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".vti")) {
        if (time > 0) fail(path, "VTK image data has no time steps; --time can only be 0");
        return read_vti(path, var, sink, max_nodes);
    }
    return read_netcdf(path, var, sink, time, max_nodes);
}

vhost::Object& add_volume_field(vhost::Object& parent, const std::string& name, const Volume& v) {
    vhost::Object& f = parent.add_field(name);
    fill_volume_field(f, v);
    return f;
}

namespace {

// The geometry of a volume's field: a uniform grid when every axis is evenly
// spaced, explicit coordinates otherwise.
vhost::FieldRef volume_geometry(vhost::Object& f, const Volume& v) {
    vhost::FieldRef ref(f);
    const std::vector<std::int64_t> dims{static_cast<std::int64_t>(v.x.size()), static_cast<std::int64_t>(v.y.size()),
                                         static_cast<std::int64_t>(v.z.size())};
    if (evenly_spaced(v.x) && evenly_spaced(v.y) && evenly_spaced(v.z)) {
        ref.uniform(dims, {v.x.front(), v.y.front(), v.z.front(), v.x.back(), v.y.back(), v.z.back()});
    } else {
        ref.dims(dims).nnodes(dims[0] * dims[1] * dims[2]).nspace(3);
        const std::span<float> xyz = ref.coord_buffer();
        std::size_t at = 0;
        for (float z : v.z)
            for (float y : v.y)
                for (float x : v.x) {
                    xyz[at++] = x;
                    xyz[at++] = y;
                    xyz[at++] = z;
                }
    }
    return ref;
}

}  // namespace

std::span<float> make_volume_field(vhost::Object& f, const Volume& v) {
    return volume_geometry(f, v).add_floats(v.name, 1, v.units);
}

void lend_volume_field(vhost::Object& f, const Volume& v, std::span<const float> values) {
    if (values.size() != v.x.size() * v.y.size() * v.z.size())
        throw std::invalid_argument("the volume holds " + std::to_string(values.size()) + " values for " +
                                    std::to_string(v.x.size() * v.y.size() * v.z.size()) + " grid nodes");
    volume_geometry(f, v).lend_floats(v.name, values, 1, v.units);
    set_volume_null(f, v);
}

void set_volume_null(vhost::Object& f, const Volume& v) {
    if (v.has_null) vhost::FieldRef(f).null_value(0, v.null_value);
}

void nulls_to_nan(vhost::Object& field, int comp) {
    vhost::FieldRef f(field);
    if (f.type(comp) != DTYPE_FLOAT || !f.null_flag(comp)) return;
    const auto null = static_cast<float>(f.null_value(comp));
    const auto view = f.float_view(comp);
    // The view is read-only for readers of the tree; this is its owner's
    // own rewrite of the values.
    float* values = const_cast<float*>(view.data());
    for (size_t i = 0; i < view.size(); ++i)
        if (values[i] == null) values[i] = NAN;
    f.component(comp).at("null_flag").set_int(0);
}

void fill_volume_field(vhost::Object& f, const Volume& v) {
    const std::span<float> values = make_volume_field(f, v);
    if (values.size() != v.values.size())
        throw std::invalid_argument("the volume " + v.name + " holds " + std::to_string(v.values.size()) +
                                    " values for " + std::to_string(values.size()) + " grid nodes");
    std::copy(v.values.begin(), v.values.end(), values.begin());
    set_volume_null(f, v);
}

}  // namespace velmora
