#include "pictures/draw/labels.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmora::drawing {

namespace {

constexpr double kGap = 2.0;   // pixels kept between two boxes

bool free_at(const Area& box, const Area& bounds, const std::vector<Area>& taken) {
    if (box.x0 < bounds.x0 || box.y0 < bounds.y0 || box.x1 > bounds.x1 || box.y1 > bounds.y1) return false;
    return std::none_of(taken.begin(), taken.end(), [&](const Area& t) { return box.overlaps(t, kGap); });
}

Area centred(const Wanted& w, double x, double y) {
    return {x - w.width / 2, y - w.height / 2, x + w.width / 2, y + w.height / 2};
}

// The nearest free box around the point: rings of widening radius, each
// tried in 24 directions; none when the picture has no room left.
bool search(const Wanted& w, const Area& bounds, const std::vector<Area>& taken, Area& out) {
    const double step = std::max(4.0, 0.5 * w.height);
    const double reach = std::hypot(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0);
    for (double r = step; r <= reach; r += step)
        for (int k = 0; k < 24; ++k) {
            // Up and to the right first, where a reader looks for a label.
            const double a = std::numbers::pi / 4 + 2 * std::numbers::pi * k / 24;
            const Area box = centred(w, w.anchor_x + r * std::cos(a) * (0.5 * w.width / w.height + 0.5),
                                     w.anchor_y - r * std::sin(a));
            if (free_at(box, bounds, taken)) {
                out = box;
                return true;
            }
        }
    return false;
}

}  // namespace

std::vector<PictureLayout::Box> place_labels(const std::vector<Wanted>& wanted, const Area& bounds,
                                             std::vector<Area>& taken) {
    std::vector<PictureLayout::Box> boxes;
    for (const Wanted& w : wanted) {
        Area box = centred(w, w.anchor_x, w.anchor_y);
        bool leader = false;
        if (!free_at(box, bounds, taken)) leader = search(w, bounds, taken, box);
        taken.push_back(box);
        boxes.push_back({w.no, box.x0, box.y0, box.x1, box.y1, w.anchor_x, w.anchor_y, leader});
    }
    return boxes;
}

}  // namespace velmora::drawing
