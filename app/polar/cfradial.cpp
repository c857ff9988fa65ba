// CF/Radial polar volumes.
#include <stdexcept>

#include "polar.h"

namespace velmora::app::polar {

PolarVolume read_cfradial(const std::string& path, const std::string&) {
    throw std::runtime_error(path + ": CF/Radial volumes are not read yet");
}

}  // namespace velmora::app::polar
