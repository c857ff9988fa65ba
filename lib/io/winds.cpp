#include "io/winds.h"

#include <algorithm>
#include <cmath>

namespace velmora {

Winds synthetic_winds(const Volume& v) {
    const std::size_t nx = v.x.size(), ny = v.y.size(), nz = v.z.size();
    Winds w;
    w.u.resize(nx * ny * nz);
    w.v.resize(w.u.size());
    w.w.resize(w.u.size());
    for (std::size_t k = 0; k < nz; ++k) {
        // A westerly of 6 m/s at the ground, 1.5 m/s more each km, veering.
        const float z = v.z[k], base_u = 6.0f + 1.5f * z, base_v = 1.0f + 0.4f * z;
        for (std::size_t j = 0; j < ny; ++j)
            for (std::size_t i = 0; i < nx; ++i) {
                const std::size_t n = i + nx * (j + ny * k);
                const float dbz = v.values.empty() ? NAN : v.values[n];
                const bool echo = std::isfinite(dbz) && !(v.has_null && dbz == v.null_value);
                // Strong echo rises and the flow bends around it.
                const float strength = echo ? std::clamp((dbz - 30.0f) / 25.0f, 0.0f, 1.0f) : 0.0f;
                const float wave = std::sin(v.x[i] / 15.0f) * std::cos(v.y[j] / 20.0f);
                w.u[n] = base_u + 2.0f * wave - 4.0f * strength * std::cos(v.y[j] / 5.0f);
                w.v[n] = base_v + 2.0f * std::cos(v.x[i] / 12.0f) + 4.0f * strength * std::sin(v.x[i] / 5.0f);
                w.w[n] = 15.0f * strength * std::sin(static_cast<float>(M_PI) * std::clamp(z / 12.0f, 0.0f, 1.0f)) +
                         0.3f * wave;
            }
    }
    return w;
}

}  // namespace velmora
