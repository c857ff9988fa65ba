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
    void add(const std::string& name, const ChunkName& c, const std::string& path);
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
    };
    std::string field_;
    std::map<std::string, Parts> volumes_;
};

}  // namespace velmora::realtime
