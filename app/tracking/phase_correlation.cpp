#include "phase_correlation.h"

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <memory>
#include <stdexcept>
#include <vector>

namespace velmora::app::tracking {

namespace {

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
struct PlanFree {
    void operator()(fftwf_plan p) const { fftwf_destroy_plan(p); }
};
using Plan = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanFree>;

template <class T>
std::unique_ptr<T[], FftwFree> fftw_array(std::size_t n) {
    auto* p = static_cast<T*>(fftwf_malloc(n * sizeof(T)));
    if (!p) throw std::bad_alloc();
    return std::unique_ptr<T[], FftwFree>(p);
}

}  // namespace

std::pair<int, int> phase_shift(std::span<const float> before, std::span<const float> after, std::size_t nx,
                                std::size_t ny) {
    if (nx < 2 || ny < 2 || before.size() != nx * ny || after.size() != nx * ny)
        throw std::invalid_argument("phase_shift: the fields do not match the grid");
    const std::size_t n = nx * ny, half = ny * (nx / 2 + 1);
    auto a = fftw_array<float>(n), b = fftw_array<float>(n);
    auto fa = fftw_array<fftwf_complex>(half), fb = fftw_array<fftwf_complex>(half);
    // Echo only, as reflectivity above 0 dBZ: no echo and missing data are 0.
    bool any_a = false, any_b = false;
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = std::isfinite(before[i]) && before[i] > 0 ? before[i] : 0.0f;
        b[i] = std::isfinite(after[i]) && after[i] > 0 ? after[i] : 0.0f;
        any_a |= a[i] > 0;
        any_b |= b[i] > 0;
    }
    if (!any_a || !any_b) return {0, 0};
    const int rows = static_cast<int>(ny), cols = static_cast<int>(nx);
    // Planned after the data is in: FFTW_ESTIMATE leaves the arrays as they are.
    Plan pa(fftwf_plan_dft_r2c_2d(rows, cols, a.get(), fa.get(), FFTW_ESTIMATE));
    Plan pb(fftwf_plan_dft_r2c_2d(rows, cols, b.get(), fb.get(), FFTW_ESTIMATE));
    if (!pa || !pb) throw std::runtime_error("phase_shift: no FFT plan");
    fftwf_execute(pa.get());
    fftwf_execute(pb.get());
    // after x conj(before), normalised: its inverse peaks at the shift.
    for (std::size_t k = 0; k < half; ++k) {
        const std::complex<float> p(fb[k][0], fb[k][1]), q(fa[k][0], -fa[k][1]);
        std::complex<float> r = p * q;
        const float m = std::abs(r);
        r = m > 1e-20f ? r / m : std::complex<float>(0.0f, 0.0f);
        fb[k][0] = r.real();
        fb[k][1] = r.imag();
    }
    Plan back(fftwf_plan_dft_c2r_2d(rows, cols, fb.get(), a.get(), FFTW_ESTIMATE));
    if (!back) throw std::runtime_error("phase_shift: no FFT plan");
    fftwf_execute(back.get());
    std::size_t best = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (a[i] > a[best]) best = i;
    int di = static_cast<int>(best % nx), dj = static_cast<int>(best / nx);
    // The transform is periodic: past half the grid is a shift the other way.
    if (di > cols / 2) di -= cols;
    if (dj > rows / 2) dj -= rows;
    return {di, dj};
}

}  // namespace velmora::app::tracking
