// The displacement of the whole echo between two plan views, by phase
// correlation: the peak of the inverse transform of the normalised cross
// power spectrum of the two fields (Kuglin and Hines, 1975), as radar
// trackers estimate the motion of a storm field between scans.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace velmora::app::tracking {

// The shift, in whole columns (di along x, dj along y), that carries field
// before onto field after; both nx x ny, x fastest, NaN where there is no
// echo. (0, 0) where either field is empty or flat.
std::pair<int, int> phase_shift(std::span<const float> before, std::span<const float> after, std::size_t nx,
                                std::size_t ny);

}  // namespace velmora::app::tracking
