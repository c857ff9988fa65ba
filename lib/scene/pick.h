// Picking on the data, never on pixels: the ray of a click walked through
// the grid to the first node whose value is shown, and the view transform a
// page sends read back from a WriteXform file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/document.h"

namespace velmora::scene {

// A rectilinear grid's axes (increasing) and one value per node, x fastest.
struct GridValues {
    std::span<const float> x, y, z;
    std::span<const float> values;
    std::optional<float> null_value;
};

// The index of the first node (nearest to the ray as it goes) whose value is
// at least threshold along the ray origin + t direction, t > 0; none when
// the ray misses the grid or meets no such node.
std::optional<std::int64_t> first_node_at_least(const GridValues& grid, const std::array<double, 3>& origin,
                                                const std::array<double, 3>& direction, float threshold);

// The view of the last record of a WriteXform file: {"mat": [16], "xlate",
// "center", "dcenter", "ocenter": [3]}; std::runtime_error naming the file
// when it holds none.
Json read_view_file(const std::string& path);

}  // namespace velmora::scene
