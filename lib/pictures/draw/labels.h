// Places texts near the points they name, none over another: a text goes at
// its point where it can, else at the nearest free place around it, with a
// leader line back to the point.
#pragma once

#include <vector>

#include "pictures/views.h"

namespace velmora::drawing {

struct Wanted {
    int no;
    double anchor_x, anchor_y;   // the point named, pixels
    double width, height;        // of the text's box, pixels
    double size = 14;            // of its letters
    bool bold = true;
};

struct Area {
    double x0, y0, x1, y1;
    bool overlaps(const Area& o, double gap = 0) const {
        return x0 < o.x1 + gap && o.x0 < x1 + gap && y0 < o.y1 + gap && o.y0 < y1 + gap;
    }
};

// Boxes for the wanted texts, in their order (the first is placed first),
// inside bounds and clear of taken and of one another; taken grows by them.
// A box that cannot be put inside bounds at all is put at its point.
std::vector<PictureLayout::Box> place_labels(const std::vector<Wanted>& wanted, const Area& bounds,
                                             std::vector<Area>& taken);

}  // namespace velmora::drawing
