// What MakeRainMesh would make, for the fuzz targets to leave out runs
// too long for a fuzzer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "field_ref.h"
#include "tree.h"

namespace velmora::fuzz {

// An upper bound on the points MakeRainMesh makes: each of its lines rises
// at least `length` (0.1 unless set) per point over the height of the grid,
// so a few thousand nodes can still ask for millions of points (a 10 km
// grid at the default 0.1 m). That is work the user asked for, not a fault,
// but too slow for a fuzzer under the sanitizers.
inline double rain_mesh_points(vhost::Object& inst) {
    vhost::Object* mesh = inst.find("in_mesh");
    if (!mesh || !(mesh = mesh->deref())) return 0.0;
    vhost::Object* p = mesh->child("points");
    vhost::Object* d = mesh->child("dims");
    if (!p || !(p = p->deref()) || !d || !(d = d->deref())) return 0.0;
    const std::vector<float> points = vhost::floats_of(*p);
    const std::vector<std::int64_t> dims = vhost::longs_of(*d);
    if (points.size() != 6 || dims.size() != 3) return 0.0;
    double length = 0.1;
    if (vhost::Object* l = inst.find("length"); l && (l = l->deref()) && l->has_value())
        length = l->kind() == vhost::Kind::Real ? l->real_value() : static_cast<double>(l->int_value());
    if (!(length > 0.0)) return 0.0;  // refused by the module before any line is made
    const double height = std::fabs(points[5] - points[2]);
    const double columns = std::max(static_cast<double>(dims[0]) * static_cast<double>(dims[1]), 1.0);
    return columns * (height / length + 2.0);
}

inline bool rain_mesh_too_long(vhost::Object& inst) { return rain_mesh_points(inst) > double{1 << 16}; }

}  // namespace velmora::fuzz
