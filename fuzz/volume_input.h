// The volume readers on fuzzed files: the bytes become a file of the given
// extension, read by read_volume into a field of the host's tree as a
// network's "file" field is. A reader may refuse a file with a message
// (an exception); a crash, a leak or undefined behaviour is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "field_ref.h"
#include "fuzz_support.h"
#include "host.h"
#include "io/volume.h"

namespace velmora::fuzz {

// Volumes of more nodes are refused before their values are read, so that
// one input stays fast; the readers' own limit is far larger.
inline constexpr std::size_t kMaxFuzzNodes = std::size_t{1} << 18;

inline void read_fuzzed_volume(const std::uint8_t* data, std::size_t size, const std::string& file, const std::string& var) {
    const std::string path = scratch().write(file, data, size);
    vhost::Host& host = vhost::host();
    host.reset();
    host.set_error_stream(nullptr);
    vhost::Object& field = host.add_field("radar");
    const velmora::ValueSink sink = [&field](const velmora::Volume& axes) {
        if (axes.x.size() * axes.y.size() * axes.z.size() > kMaxFuzzNodes)
            throw std::runtime_error("larger than the fuzz targets read");
        return velmora::make_volume_field(field, axes);
    };
    for (long time : {velmora::kOnlyTime, 1L}) {
        try {
            velmora::Volume v = velmora::read_volume(path, var, sink, time);
            velmora::set_volume_null(field, v);
            if (vhost::FieldRef(field).ncomp() > 0) velmora::nulls_to_nan(field, 0);
            return;
        } catch (const std::exception& e) {
            // A file of several time steps is read once more at a time step.
            if (std::string(e.what()).find("time steps") == std::string::npos) return;
        }
    }
}

}  // namespace velmora::fuzz
