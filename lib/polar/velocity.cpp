#include "polar/velocity.h"

#include <cmath>
#include <stdexcept>

namespace velmora::polar {

void storm_relative(PolarVolume& v, Wind motion) {
    if (!is_radial_velocity(v)) throw std::invalid_argument(v.source + ": " + v.field + " is not a radial velocity");
    for (Sweep& s : v.sweeps)
        for (std::size_t r = 0; r < s.rays(); ++r) {
            const auto along = static_cast<float>(radial_wind(motion, s.azimuth[r], s.elevation[r]));
            float* row = s.values.data() + r * static_cast<std::size_t>(s.gates);
            for (int g = 0; g < s.gates; ++g)
                if (std::isfinite(row[g])) row[g] -= along;
        }
}

}  // namespace velmora::polar
