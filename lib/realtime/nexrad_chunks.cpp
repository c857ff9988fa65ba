#include "realtime/nexrad_chunks.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "polar/nexrad_records.h"

namespace velmora::realtime {

namespace {

constexpr std::size_t kVolumeHeaderBytes = 24;

std::vector<std::uint8_t> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The archive of a volume's header and of records.
polar::nexrad::Archive archive_of(const std::vector<std::uint8_t>& header, std::vector<std::uint8_t> records) {
    polar::nexrad::Archive a;
    const std::uint8_t* h = header.data();
    a.date = polar::nexrad::be32(h + 12);
    a.ms = polar::nexrad::be32(h + 16);
    if (std::all_of(h + 20, h + 24, [](std::uint8_t c) { return c >= 'A' && c <= 'Z'; }))
        a.icao.assign(reinterpret_cast<const char*>(h + 20), 4);
    a.records = std::move(records);
    return a;
}

// Whether a message is the radial that ends an elevation (or the volume):
// message 31's radial status, 2 or 4.
bool ends_elevation(const polar::nexrad::Message& m) {
    constexpr std::size_t kStatus = polar::nexrad::kHeaderBytes + 21;
    return m.type == 31 && m.size > kStatus && (m.data[kStatus] == 2 || m.data[kStatus] == 4);
}

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Grids a sweep's gates filtered as a whole volume's are: each filter looks
// within its sweep only, so sweep by sweep gives the same gates.
void add_filtered(polar::SweepGridder& gridder, const polar::Sweep& sweep, const polar::GateFilters& filters) {
    polar::Sweep filtered = sweep;
    polar::drop_poor_gates(filtered, filters);
    if (filters.despeckle) polar::despeckle(filtered);
    gridder.add(filtered);
}

}  // namespace

ChunkAssembler::ChunkAssembler(std::string field, std::optional<polar::GridOptions> grid, std::optional<polar::Site> site,
                               polar::GateFilters filters)
    : field_(std::move(field)), grid_(std::move(grid)), site_(site), filters_(filters) {}

ChunkAssembler::~ChunkAssembler() = default;

void ChunkAssembler::add(const std::string& name, const ChunkName& c, const std::string& path, std::int64_t mtime_ns) {
    const std::vector<std::uint8_t> b = bytes_of(path);
    Chunk chunk;
    chunk.name = name;
    chunk.bytes = static_cast<std::int64_t>(b.size());
    chunk.crc = crc32(crc32(0L, Z_NULL, 0), b.data(), static_cast<uInt>(b.size()));
    std::size_t first = 0;
    Parts& v = volumes_[c.volume];
    if (c.type == 'S') {
        if (b.size() < kVolumeHeaderBytes || (std::string(b.begin(), b.begin() + 4) != "AR2V"))
            throw std::runtime_error(path + ": a start chunk without its AR2V volume header");
        v.header.assign(b.begin(), b.begin() + kVolumeHeaderBytes);
        first = kVolumeHeaderBytes;
    }
    chunk.messages = polar::nexrad::inflate_blocks(b, first, path);
    if (c.type == 'E') v.end = c.number;
    v.newest_ns = std::max(v.newest_ns, mtime_ns);
    v.chunks[c.number] = std::move(chunk);
    if (grid_ && c.type != 'E') fold(c.volume, v);   // the E chunk's sweeps: when the volume is taken
}

// The chunks now in order from the last one cut, cut into the segments that
// end an elevation; each segment's sweeps decoded and gridded.
void ChunkAssembler::fold(const std::string& volume, Parts& v) {
    Gridding& g = v.grid;
    if (g.off || v.header.empty()) return;
    try {
        for (auto c = v.chunks.find(g.folded + 1); c != v.chunks.end() && c->first == g.folded + 1; ++c) {
            const std::vector<std::uint8_t>& m = c->second.messages;
            const auto messages = polar::nexrad::split_messages(m, c->second.name);
            std::size_t from = 0;
            for (std::size_t i = 0; i < messages.size(); ++i) {
                if (!ends_elevation(messages[i])) continue;
                const std::size_t to = i + 1 < messages.size()
                                           ? static_cast<std::size_t>(messages[i + 1].data - polar::nexrad::kCtmBytes - m.data())
                                           : m.size();
                g.segment.insert(g.segment.end(), m.begin() + static_cast<std::ptrdiff_t>(from), m.begin() + static_cast<std::ptrdiff_t>(to));
                from = to;
                grid_segment(volume, v);
            }
            g.segment.insert(g.segment.end(), m.begin() + static_cast<std::ptrdiff_t>(from), m.end());
            ++g.folded;
        }
    } catch (const std::exception&) {
        // Whatever fails here fails again, or not, when the volume is taken:
        // it is gridded whole then.
        g = Gridding();
        g.off = true;
    }
}

// A segment ending an elevation: its sweeps, when it has the field (the
// Doppler half of a split cut has none), decoded and gridded.
void ChunkAssembler::grid_segment(const std::string& volume, Parts& v) {
    Gridding& g = v.grid;
    polar::PolarVolume part;
    try {
        part = polar::nexrad::decode_archive(archive_of(v.header, std::move(g.segment)), volume + " (NEXRAD chunks)",
                                             field_, site_);
    } catch (const std::runtime_error&) {
        // No sweep of the field here, or one that cannot be decoded: the
        // check against the whole volume tells which.
    }
    g.segment.clear();
    for (polar::Sweep& s : part.sweeps) {
        if (!g.gridder) {
            g.gridder = std::make_unique<polar::SweepGridder>(part, *grid_);
            g.radar = part;
            g.radar.sweeps.clear();
        }
        add_filtered(*g.gridder, s, filters_);
        g.sweeps.push_back(std::move(s));   // as decoded, to be compared with the whole volume
    }
}

// Whether the sweeps gridded are the first of the whole volume's, with its
// radar and field.
bool ChunkAssembler::same_sweeps(const Gridding& g, const polar::PolarVolume& whole) const {
    const auto& a = g.radar;
    if (!g.gridder || g.sweeps.size() > whole.sweeps.size() || a.field != whole.field || a.units != whole.units ||
        !a.site || !whole.site || a.site->latitude != whole.site->latitude ||
        a.site->longitude != whole.site->longitude || a.site->height != whole.site->height)
        return false;
    for (std::size_t k = 0; k < g.sweeps.size(); ++k) {
        const polar::Sweep &x = g.sweeps[k], &y = whole.sweeps[k];
        if (x.gates != y.gates || x.range_first != y.range_first || x.gate_spacing != y.gate_spacing ||
            x.fixed_angle != y.fixed_angle || !same_floats(x.azimuth, y.azimuth) ||
            !same_floats(x.elevation, y.elevation) || !same_floats(x.values, y.values))
            return false;
    }
    return true;
}

std::size_t ChunkAssembler::gridded(const std::string& volume) const {
    const auto v = volumes_.find(volume);
    return v == volumes_.end() ? 0 : v->second.grid.sweeps.size();
}

std::vector<std::pair<std::string, std::string>> ChunkAssembler::stalled(double now, double timeout) const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [volume, v] : volumes_) {
        if (complete(volume) || now - double(v.newest_ns) / 1e9 <= timeout) continue;
        std::string lacks;
        if (v.header.empty()) lacks = "the start chunk";
        const int last = v.end ? v.end : v.chunks.rbegin()->first;
        for (int n = 1; n <= last; ++n)
            if (n > 1 && !v.chunks.count(n)) lacks += (lacks.empty() ? "chunk " : ", chunk ") + std::to_string(n);
        if (!v.end) lacks += std::string(lacks.empty() ? "" : ", ") + "the end chunk";
        out.emplace_back(volume, lacks);
    }
    return out;
}

bool ChunkAssembler::has(const std::string& name) const {
    const auto c = chunk_name(name);
    if (!c) return false;
    const auto v = volumes_.find(c->volume);
    return v != volumes_.end() && v->second.chunks.count(c->number) && v->second.chunks.at(c->number).name == name;
}

bool ChunkAssembler::complete(const std::string& volume) const {
    const auto v = volumes_.find(volume);
    if (v == volumes_.end() || v->second.end == 0 || v->second.header.empty()) return false;
    for (int n = 1; n <= v->second.end; ++n)
        if (!v->second.chunks.count(n)) return false;
    return true;
}

std::vector<std::string> ChunkAssembler::chunks(const std::string& volume) const {
    std::vector<std::string> out;
    if (const auto v = volumes_.find(volume); v != volumes_.end())
        for (const auto& [n, c] : v->second.chunks) out.push_back(c.name);
    return out;
}

std::int64_t ChunkAssembler::bytes(const std::string& volume) const {
    std::int64_t total = 0;
    if (const auto v = volumes_.find(volume); v != volumes_.end())
        for (const auto& [n, c] : v->second.chunks) total += c.bytes;
    return total;
}

std::string ChunkAssembler::checksum(const std::string& volume) const {
    uLong crc = crc32(0L, Z_NULL, 0);
    if (const auto v = volumes_.find(volume); v != volumes_.end())
        for (const auto& [n, c] : v->second.chunks) crc = crc32_combine(crc, c.crc, static_cast<z_off_t>(c.bytes));
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08lx", crc);
    return hex;
}

polar::PolarVolume ChunkAssembler::take(const std::string& volume, std::optional<polar::Site> site,
                                        std::optional<Volume>* grid, ChunkMoments* moments) {
    Parts& v = volumes_.at(volume);
    std::size_t size = 0;
    for (const auto& [n, c] : v.chunks) size += c.messages.size();
    std::vector<std::uint8_t> records;
    records.reserve(size);
    for (const auto& [n, c] : v.chunks) records.insert(records.end(), c.messages.begin(), c.messages.end());
    const polar::nexrad::Archive a = archive_of(v.header, std::move(records));
    Gridding g = std::move(v.grid);
    forget(volume);
    polar::PolarVolume whole = polar::nexrad::decode_archive(a, volume + " (NEXRAD chunks)", field_, site);
    if (moments) {
        const auto moment = [&](const char* name) -> std::optional<polar::PolarVolume> {
            try {
                return polar::nexrad::decode_archive(a, volume + " (NEXRAD chunks)", name, site);
            } catch (const std::runtime_error&) {
                return std::nullopt;   // a volume without it
            }
        };
        moments->velocity = moment("VEL");
        moments->width = moment("SW");
    }
    if (grid && same_sweeps(g, whole)) {
        for (std::size_t k = g.sweeps.size(); k < whole.sweeps.size(); ++k) add_filtered(*g.gridder, whole.sweeps[k], filters_);
        *grid = g.gridder->grid(whole.time);
    }
    return whole;
}

void ChunkAssembler::forget(const std::string& volume) { volumes_.erase(volume); }

double ChunkAssembler::newest(const std::string& volume) const {
    const auto v = volumes_.find(volume);
    return v == volumes_.end() ? 0.0 : double(v->second.newest_ns) / 1e9;
}

}  // namespace velmora::realtime
