#include "realtime/nexrad_chunks.h"

#include <zlib.h>

#include <algorithm>
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

}  // namespace

ChunkAssembler::ChunkAssembler(std::string field) : field_(std::move(field)) {}

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

polar::PolarVolume ChunkAssembler::take(const std::string& volume, std::optional<polar::Site> site) {
    Parts& v = volumes_.at(volume);
    polar::nexrad::Archive a;
    const std::uint8_t* h = v.header.data();
    a.date = polar::nexrad::be32(h + 12);
    a.ms = polar::nexrad::be32(h + 16);
    if (std::all_of(h + 20, h + 24, [](std::uint8_t c) { return c >= 'A' && c <= 'Z'; }))
        a.icao.assign(reinterpret_cast<const char*>(h + 20), 4);
    std::size_t size = 0;
    for (const auto& [n, c] : v.chunks) size += c.messages.size();
    a.records.reserve(size);
    for (const auto& [n, c] : v.chunks) a.records.insert(a.records.end(), c.messages.begin(), c.messages.end());
    forget(volume);
    return polar::nexrad::decode_archive(a, volume + " (NEXRAD chunks)", field_, site);
}

void ChunkAssembler::forget(const std::string& volume) { volumes_.erase(volume); }

}  // namespace velmora::realtime
