// The record layer of NEXRAD Level II (Archive II) files: the volume header,
// the messages behind it (plain, or in bzip2-compressed blocks, the whole
// file possibly gzip-compressed), split into messages. nexrad.cpp decodes
// the radials of the messages.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "polar/polar.h"

namespace velmora::polar::nexrad {

// Big-endian fields, as the radar writes them; p must have the bytes.
inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::int16_t be16s(const std::uint8_t* p) { return static_cast<std::int16_t>(be16(p)); }
inline std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline float be_float(const std::uint8_t* p) { return std::bit_cast<float>(be32(p)); }

// Every message starts with 12 bytes of the channel terminal manager, then
// a 16-byte message header.
inline constexpr std::size_t kCtmBytes = 12;
inline constexpr std::size_t kHeaderBytes = 16;
// Legacy messages fill a fixed record: CTM, header and body, frame check.
inline constexpr std::size_t kRecordBytes = 2432;

struct Archive {
    std::string icao;            // of the volume header, empty when not printable
    std::uint32_t date = 0;      // days since 1970-01-01, 1970-01-01 being day 1
    std::uint32_t ms = 0;        // of the day
    std::vector<std::uint8_t> records;  // the messages behind the volume header
};

// One message: its header and body (size in halfwords times two bytes).
struct Message {
    int type = 0;
    const std::uint8_t* data = nullptr;  // the message header
    std::size_t size = 0;                // header and body, bytes
};

// The whole file, through gzip when it is compressed, its bzip2 blocks
// decompressed. Throws std::runtime_error "<path>: <what>".
Archive read_archive(const std::string& path);

// The messages of bzip2 blocks as Archive II files hold them, from byte
// first of bytes on: each a 4-byte big-endian size (negative for the last,
// or for every one as some writers mark them: read by its absolute value)
// and that many bytes of bzip2 data. Throws std::runtime_error "<path>: <what>".
std::vector<std::uint8_t> inflate_blocks(const std::vector<std::uint8_t>& bytes, std::size_t first, const std::string& path);

// The messages of records in their order, each checked to lie inside them.
std::vector<Message> split_messages(const std::vector<std::uint8_t>& records, const std::string& path);

[[noreturn]] void fail(const std::string& path, const std::string& what);

// The volume of an archive's messages (nexrad.cpp): what read_nexrad gives
// for a file, for records gathered otherwise (the chunks of the real-time
// feed). path names them in messages.
PolarVolume decode_archive(const Archive& archive, const std::string& path, const std::string& field,
                           std::optional<Site> site);

}  // namespace velmora::polar::nexrad
