// NEXRAD Level II volumes as the real-time feed delivers them: a volume in
// chunks named YYYYMMDD-HHMMSS-NNN-T (its start, the chunk's number, S for
// the start: the volume header and the metadata, I intermediate, E the
// end), each a run of bzip2 blocks. Each chunk is decompressed as it
// arrives; once the E chunk and every chunk before it are there, what is
// left is to decode the radials into sweeps and grid them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "polar/polar.h"
#include "realtime/arrivals.h"

namespace velmora::realtime {

class ChunkAssembler {
public:
    // field: the moment to decode (empty: the reflectivity).
    explicit ChunkAssembler(std::string field);

    // Decompresses a chunk into its volume's messages; std::runtime_error
    // when it is cut short (it may still be being written) or no chunk.
    // mtime_ns: the chunk file's modification time (ns since 1970), which
    // tells how long its volume has waited for the rest.
    void add(const std::string& name, const ChunkName& c, const std::string& path, std::int64_t mtime_ns = 0);
    bool has(const std::string& name) const;
    // Whether a volume has its E chunk and every chunk before it.
    bool complete(const std::string& volume) const;
    // A volume's chunk files taken so far, in number order, their bytes, and
    // the CRC-32 of their bytes joined in that order (8 hex digits).
    std::vector<std::string> chunks(const std::string& volume) const;
    std::int64_t bytes(const std::string& volume) const;
    std::string checksum(const std::string& volume) const;
    // The volume's sweeps; forgets the volume. std::runtime_error when its
    // messages cannot be decoded.
    polar::PolarVolume take(const std::string& volume, std::optional<polar::Site> site);
    void forget(const std::string& volume);
    // The volumes not complete whose newest chunk is more than timeout
    // seconds older than now (s since 1970), and what they lack.
    std::vector<std::pair<std::string, std::string>> stalled(double now, double timeout) const;

private:
    struct Chunk {
        std::string name;
        std::vector<std::uint8_t> messages;
        std::int64_t bytes = 0;
        unsigned long crc = 0;
    };
    struct Parts {
        std::map<int, Chunk> chunks;
        int end = 0;                       // the E chunk's number, once it is in
        std::vector<std::uint8_t> header;  // the S chunk's volume header
        std::int64_t newest_ns = 0;        // the newest chunk's modification time
    };
    std::string field_;
    std::map<std::string, Parts> volumes_;
};

}  // namespace velmora::realtime
