// NEXRAD Level II volumes as the real-time feed delivers them: a volume in
// chunks named YYYYMMDD-HHMMSS-NNN-T (its start, the chunk's number, S for
// the start: the volume header and the metadata, I intermediate, E the
// end), each a run of bzip2 blocks. Each chunk is decompressed as it
// arrives; once the E chunk and every chunk before it are there, what is
// left is to decode the radials into sweeps and grid them.
//
// Given grid options, the assembler also grids each sweep as soon as the
// chunks that complete it are in (the radial that ends its elevation, and
// every chunk before): after the E chunk only its last sweep is left. The
// sweeps so gridded are checked against the whole volume's when it is
// taken; the grid is used only when they are the same, so it is always the
// whole volume's grid, bit for bit.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/volume.h"
#include "polar/gate_filters.h"
#include "polar/gridding.h"
#include "polar/polar.h"
#include "polar/sweep_gridding.h"
#include "realtime/arrivals.h"

namespace velmora::realtime {

// A volume's radial velocity and spectrum width, each empty where it has none.
struct ChunkMoments {
    std::optional<polar::PolarVolume> velocity, width;
};

class ChunkAssembler {
public:
    // field: the moment to decode (empty: the reflectivity); grid: the grid
    // the sweeps are gridded onto as they complete (none: not gridded);
    // site: the radar's position, over the volume's; filters: those of the
    // gates before they are gridded, as a file's gates are filtered.
    explicit ChunkAssembler(std::string field, std::optional<polar::GridOptions> grid = {},
                            std::optional<polar::Site> site = {}, polar::GateFilters filters = {});
    ~ChunkAssembler();

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
    // When its newest chunk was written, s since 1970.
    double newest(const std::string& volume) const;
    // The volume's sweeps; forgets the volume. std::runtime_error when its
    // messages cannot be decoded. With grid, and grid options given: the
    // grid of its sweeps gridded as they came, the rest added, when they
    // are the volume's (else grid is left empty).
    // With moments, the volume's radial velocity and spectrum width too.
    polar::PolarVolume take(const std::string& volume, std::optional<polar::Site> site, std::optional<Volume>* grid = nullptr,
                            ChunkMoments* moments = nullptr);
    // Sweeps of a volume gridded so far.
    std::size_t gridded(const std::string& volume) const;
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
    // The sweeps of a volume gridded as their chunks came.
    struct Gridding {
        int folded = 0;                          // chunks 1 .. folded cut into sweeps
        std::vector<std::uint8_t> segment;       // the messages since the last end of elevation
        std::vector<polar::Sweep> sweeps;        // decoded and gridded, in the volume's order
        polar::PolarVolume radar;                // the first decoded: its site, field and units
        std::unique_ptr<polar::SweepGridder> gridder;
        bool off = false;                        // given up: the volume is gridded whole
    };
    struct Parts {
        std::map<int, Chunk> chunks;
        int end = 0;                       // the E chunk's number, once it is in
        std::vector<std::uint8_t> header;  // the S chunk's volume header
        std::int64_t newest_ns = 0;        // the newest chunk's modification time
        Gridding grid;
    };
    void fold(const std::string& volume, Parts& v);
    void grid_segment(const std::string& volume, Parts& v);
    bool same_sweeps(const Gridding& g, const polar::PolarVolume& whole) const;

    std::string field_;
    std::optional<polar::GridOptions> grid_;
    std::optional<polar::Site> site_;
    polar::GateFilters filters_;
    std::map<std::string, Parts> volumes_;
};

}  // namespace velmora::realtime
