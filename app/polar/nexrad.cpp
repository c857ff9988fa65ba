// NEXRAD Level II (Archive II) volumes.
#include <stdexcept>

#include "polar.h"

namespace velmora::app::polar {

PolarVolume read_nexrad(const std::string& path, const std::string&, std::optional<Site>) {
    throw std::runtime_error(path + ": NEXRAD volumes are not read yet");
}

std::optional<Site> nexrad_site(const std::string&) { return std::nullopt; }

}  // namespace velmora::app::polar
