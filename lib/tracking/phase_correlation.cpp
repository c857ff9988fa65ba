#include "tracking/phase_correlation.h"

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <stdexcept>

namespace velmora::tracking {

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

// Buffers for both fields and their spectra, and the plans that run on them.
struct PhaseCorrelation::Fftw {
    std::unique_ptr<float[], FftwFree> a, b;
    std::unique_ptr<fftwf_complex[], FftwFree> fa, fb;
    Plan forward_a, forward_b, back;
};

PhaseCorrelation::PhaseCorrelation(std::size_t nx, std::size_t ny) : nx_(nx), ny_(ny), f_(std::make_unique<Fftw>()) {
    // At most as many columns as the largest volume has nodes.
    if (nx < 2 || ny < 2 || nx > 100'000'000 / ny) throw std::invalid_argument("phase correlation: no such grid");
    const std::size_t n = nx * ny, half = ny * (nx / 2 + 1);
    f_->a = fftw_array<float>(n);
    f_->b = fftw_array<float>(n);
    f_->fa = fftw_array<fftwf_complex>(half);
    f_->fb = fftw_array<fftwf_complex>(half);
    const int rows = static_cast<int>(ny), cols = static_cast<int>(nx);
    // FFTW_ESTIMATE plans without touching the arrays.
    f_->forward_a.reset(fftwf_plan_dft_r2c_2d(rows, cols, f_->a.get(), f_->fa.get(), FFTW_ESTIMATE));
    f_->forward_b.reset(fftwf_plan_dft_r2c_2d(rows, cols, f_->b.get(), f_->fb.get(), FFTW_ESTIMATE));
    f_->back.reset(fftwf_plan_dft_c2r_2d(rows, cols, f_->fb.get(), f_->a.get(), FFTW_ESTIMATE));
    if (!f_->forward_a || !f_->forward_b || !f_->back) throw std::runtime_error("phase correlation: no FFT plan");
}

PhaseCorrelation::~PhaseCorrelation() = default;

std::pair<int, int> PhaseCorrelation::shift(std::span<const float> before, std::span<const float> after) {
    const std::size_t n = nx_ * ny_, half = ny_ * (nx_ / 2 + 1);
    if (before.size() != n || after.size() != n)
        throw std::invalid_argument("phase correlation: the fields do not match the grid");
    float* a = f_->a.get();
    float* b = f_->b.get();
    // Echo only, as reflectivity above 0 dBZ: no echo and missing data are 0.
    bool any_a = false, any_b = false;
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = std::isfinite(before[i]) && before[i] > 0 ? before[i] : 0.0f;
        b[i] = std::isfinite(after[i]) && after[i] > 0 ? after[i] : 0.0f;
        any_a |= a[i] > 0;
        any_b |= b[i] > 0;
    }
    if (!any_a || !any_b) return {0, 0};
    fftwf_execute(f_->forward_a.get());
    fftwf_execute(f_->forward_b.get());
    // after x conj(before), normalised: its inverse peaks at the shift.
    fftwf_complex* fa = f_->fa.get();
    fftwf_complex* fb = f_->fb.get();
    for (std::size_t k = 0; k < half; ++k) {
        const std::complex<float> p(fb[k][0], fb[k][1]), q(fa[k][0], -fa[k][1]);
        std::complex<float> r = p * q;
        const float m = std::abs(r);
        r = m > 1e-20f ? r / m : std::complex<float>(0.0f, 0.0f);
        fb[k][0] = r.real();
        fb[k][1] = r.imag();
    }
    fftwf_execute(f_->back.get());
    std::size_t best = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (a[i] > a[best]) best = i;
    int di = static_cast<int>(best % nx_), dj = static_cast<int>(best / nx_);
    // The transform is periodic: past half the grid is a shift the other way.
    if (di > static_cast<int>(nx_) / 2) di -= static_cast<int>(nx_);
    if (dj > static_cast<int>(ny_) / 2) dj -= static_cast<int>(ny_);
    return {di, dj};
}

std::pair<int, int> phase_shift(std::span<const float> before, std::span<const float> after, std::size_t nx,
                                std::size_t ny) {
    return PhaseCorrelation(nx, ny).shift(before, after);
}

}  // namespace velmora::tracking
