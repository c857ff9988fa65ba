// The displacement of the whole echo between two plan views, by phase
// correlation: the peak of the inverse transform of the normalised cross
// power spectrum of the two fields (Kuglin and Hines, 1975), as radar
// trackers estimate the motion of a storm field between scans.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

namespace velmora::tracking {

// For plan views of nx x ny columns (x fastest): the transforms are planned
// once and reused for every pair of a series.
class PhaseCorrelation {
public:
    PhaseCorrelation(std::size_t nx, std::size_t ny);   // std::invalid_argument under 2 x 2
    ~PhaseCorrelation();
    PhaseCorrelation(const PhaseCorrelation&) = delete;
    PhaseCorrelation& operator=(const PhaseCorrelation&) = delete;

    // The shift, in whole columns (di along x, dj along y), that carries
    // field before onto field after; NaN where there is no echo. (0, 0)
    // where either field has no echo.
    std::pair<int, int> shift(std::span<const float> before, std::span<const float> after);

private:
    struct Fftw;
    std::size_t nx_, ny_;
    std::unique_ptr<Fftw> f_;
};

// The same, once.
std::pair<int, int> phase_shift(std::span<const float> before, std::span<const float> after, std::size_t nx,
                                std::size_t ny);

}  // namespace velmora::tracking
