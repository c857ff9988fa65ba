// ODIM HDF5 polar volumes.
#include <stdexcept>

#include "polar.h"

namespace velmora::app::polar {

PolarVolume read_odim(const std::string& path, const std::string&) {
    throw std::runtime_error(path + ": ODIM volumes are not read yet");
}

}  // namespace velmora::app::polar
