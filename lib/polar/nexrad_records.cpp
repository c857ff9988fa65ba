// NEXRAD Level II files as bytes: the file whole (through gzip when it is
// compressed), its bzip2 blocks decompressed, the messages split apart.
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "io/input_file.h"
#include "polar/nexrad_records.h"

namespace velmora::polar::nexrad {

void fail(const std::string& path, const std::string& what) { throw std::runtime_error(path + ": " + what); }

namespace {

constexpr std::size_t kVolumeHeaderBytes = 24;
// A WSR-88D's densest volume (super-resolution, dual polarisation, extra
// low cuts) holds some 150 MB of messages; more is a forged size or a bomb.
constexpr std::size_t kMaxBytes = std::size_t{512} << 20;
// Compressed volumes (gzip, bzip2 blocks) are some ten times smaller than
// their content, their metadata more: 200 times and 4 MB leave room, and
// stop a forged stream early.
constexpr std::size_t kMaxRatio = 200;
constexpr std::size_t kSlack = std::size_t{4} << 20;

struct GzFile {
    gzFile f;
    ~GzFile() {
        if (f) gzclose(f);
    }
};

struct BzStream {
    bz_stream s{};
    bool open = false;
    ~BzStream() {
        if (open) BZ2_bzDecompressEnd(&s);
    }
};

std::string at(std::size_t offset) { return " at byte " + std::to_string(offset); }
std::string megabytes(std::size_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

bool archive_header(const std::uint8_t* p, std::size_t n) {
    const std::string_view head(reinterpret_cast<const char*>(p), std::min<std::size_t>(n, 8));
    return head.starts_with("AR2V") || head.starts_with("ARCHIVE2");
}

// Whether the file is gzip-compressed, and the size of its content as its
// trailer gives it (modulo 4 GB, of the last member only: a hint).
bool gzip_file(const std::string& path, std::uintmax_t size, std::size_t& content) {
    std::ifstream in(path, std::ios::binary);
    unsigned char b[4] = {};
    if (!in.read(reinterpret_cast<char*>(b), 2) || b[0] != 0x1f || b[1] != 0x8b) return false;
    if (size >= 22 && in.seekg(static_cast<std::streamoff>(size - 4)) && in.read(reinterpret_cast<char*>(b), 4))
        content = std::size_t{b[0]} | std::size_t{b[1]} << 8 | std::size_t{b[2]} << 16 | std::size_t{b[3]} << 24;
    return true;
}

// Reads the rest of f into bytes from used on, growing them up to cap (an
// empty too_much: a plain file, read to the size it had), and refusing data
// that does not start as an Archive II volume as soon as its first bytes are
// in.
void read_stream(gzFile f, std::vector<std::uint8_t>& bytes, std::size_t used, std::size_t cap, const std::string& path,
                 const std::string& too_much) {
    bool checked = false;
    for (;;) {
        if (!checked && used >= 8) {
            if (!archive_header(bytes.data(), used))
                fail(path, "not a NEXRAD Level II (Archive II) file: no AR2V or ARCHIVE2 volume header");
            checked = true;
        }
        if (used == bytes.size()) {
            if (too_much.empty()) break;
            // Full: one more byte tells whether the data go on.
            std::uint8_t next = 0;
            const int got = gzread(f, &next, 1);
            if (got == 0) break;
            if (got < 0 || bytes.size() >= cap) {
                if (got > 0) fail(path, too_much);
                int err = 0;
                fail(path, std::string("cannot read: ") + gzerror(f, &err));
            }
            bytes.resize(std::min(cap, std::max(bytes.size() * 2, used + (std::size_t{1} << 20))));
            bytes[used++] = next;
            continue;
        }
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(bytes.size() - used, 1u << 30));
        const int got = gzread(f, bytes.data() + used, chunk);
        if (got < 0) {
            int err = 0;
            fail(path, std::string("cannot read: ") + gzerror(f, &err));
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
}

// The file's bytes, through gzip when it is compressed: held at the size
// the file or its trailer gives, and never more than a radar volume holds.
std::vector<std::uint8_t> read_whole(const std::string& path) {
    require_input_file(path);
    std::error_code ec;
    const std::uintmax_t on_disk = std::filesystem::file_size(path, ec);
    if (ec) fail(path, "cannot read: " + ec.message());
    std::size_t content = 0;
    const bool gzip = gzip_file(path, on_disk, content);
    if (!gzip && on_disk > kMaxBytes) fail(path, "more than " + megabytes(kMaxBytes) + " of data: not a radar volume");
    const std::size_t size = static_cast<std::size_t>(on_disk);
    const std::size_t cap = gzip ? std::min(kMaxBytes, kSlack + kMaxRatio * size) : size;
    GzFile in{gzopen(path.c_str(), "rb")};
    if (!in.f) fail(path, std::string("cannot open: ") + std::strerror(errno));
    if (size > (1u << 20)) gzbuffer(in.f, 1 << 18);  // fewer, larger reads of a real volume
    // A trailer's size is believed as far as a real volume's compression goes.
    const std::size_t first = !gzip ? size : content > size && content <= std::min(cap, 32 * size) ? content : std::min(cap, 4 * size);
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(first, 1));
    read_stream(in.f, bytes, 0, cap, path,
                !gzip ? std::string()
                      : "decompresses to more than " + megabytes(cap) + " (" + std::to_string(kMaxRatio) +
                            " times its size and 4 MB, or 512 MB): not a radar volume");
    int err = Z_OK;
    gzerror(in.f, &err);
    if (err == Z_BUF_ERROR) fail(path, "the gzip stream ends early (truncated file)");
    return bytes;
}

// One bzip2 block appended to out; out grows to at most cap bytes.
void inflate_block(const std::uint8_t* in, std::size_t size, std::size_t offset, std::vector<std::uint8_t>& out,
                   std::size_t& used, std::size_t cap, const std::string& path) {
    BzStream bz;
    if (BZ2_bzDecompressInit(&bz.s, 0, 0) != BZ_OK) fail(path, "cannot start bzip2 decompression");
    bz.open = true;
    bz.s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    bz.s.avail_in = static_cast<unsigned>(size);
    for (;;) {
        if (used == out.size()) {
            if (out.size() >= cap)
                fail(path, "bzip2 blocks" + at(offset) + " decompress to more than " + megabytes(cap) + " (" +
                               std::to_string(kMaxRatio) + " times the file and 4 MB, or 512 MB): not a radar volume");
            out.resize(std::min(cap, std::max(out.size() * 2, used + (std::size_t{1} << 20))));
        }
        const std::size_t room = std::min<std::size_t>(out.size() - used, 1u << 30);
        bz.s.next_out = reinterpret_cast<char*>(out.data() + used);
        bz.s.avail_out = static_cast<unsigned>(room);
        const int rc = BZ2_bzDecompress(&bz.s);
        used += room - bz.s.avail_out;
        if (rc == BZ_STREAM_END) return;
        if (rc != BZ_OK) fail(path, "corrupt bzip2 block" + at(offset) + " (bzip2 error " + std::to_string(rc) + ")");
        if (bz.s.avail_in == 0 && bz.s.avail_out > 0) fail(path, "bzip2 block" + at(offset) + " ends early (truncated)");
    }
}

// Whether another bzip2 block (its size, then the stream's magic) starts at pos.
bool block_follows(const std::vector<std::uint8_t>& bytes, std::size_t pos) {
    return bytes.size() - pos >= 7 && std::memcmp(bytes.data() + pos + 4, "BZh", 3) == 0;
}

}  // namespace

// The messages of the newer layout: from first on, blocks of a 4-byte
// big-endian size (negative for the last) and that many bytes of bzip2 data.
// Some writers mark every block's size negative: the size counts by its
// absolute value, and a block that follows a negative one is read on.
std::vector<std::uint8_t> inflate_blocks(const std::vector<std::uint8_t>& bytes, std::size_t first, const std::string& path) {
    const std::size_t cap = std::min(kMaxBytes, kSlack + kMaxRatio * bytes.size());
    std::vector<std::uint8_t> out;
    out.resize(std::min(cap, 8 * bytes.size()));
    std::size_t used = 0;
    std::size_t pos = first;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 4) fail(path, "truncated bzip2 block size" + at(pos));
        const std::int64_t signed_size = static_cast<std::int32_t>(be32(bytes.data() + pos));
        const std::uint64_t size = static_cast<std::uint64_t>(signed_size < 0 ? -signed_size : signed_size);
        pos += 4;
        if (size == 0) fail(path, "empty bzip2 block" + at(pos - 4));
        if (size > bytes.size() - pos)
            fail(path, "bzip2 block of " + std::to_string(size) + " bytes" + at(pos - 4) + " runs past the end of the file (" +
                           std::to_string(bytes.size() - pos) + " bytes left)");
        inflate_block(bytes.data() + pos, size, pos - 4, out, used, cap, path);
        pos += size;
        if (signed_size < 0 && !block_follows(bytes, pos)) break;
    }
    out.resize(used);
    return out;
}

namespace {

bool all_zero(const std::uint8_t* p, std::size_t n) { return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; }); }

}  // namespace

Archive read_archive(const std::string& path) {
    std::vector<std::uint8_t> bytes = read_whole(path);
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 8));
    if (!head.starts_with("AR2V") && !head.starts_with("ARCHIVE2"))
        fail(path, "not a NEXRAD Level II (Archive II) file: no AR2V or ARCHIVE2 volume header");
    if (bytes.size() < kVolumeHeaderBytes)
        fail(path, "truncated volume header (" + std::to_string(bytes.size()) + " of 24 bytes)");

    Archive a;
    a.date = be32(bytes.data() + 12);
    a.ms = be32(bytes.data() + 16);
    const auto* icao = bytes.data() + 20;
    if (std::all_of(icao, icao + 4, [](std::uint8_t c) { return c >= 'A' && c <= 'Z'; }))
        a.icao.assign(reinterpret_cast<const char*>(icao), 4);
    const bool bzip2 = bytes.size() >= kVolumeHeaderBytes + 7 && std::memcmp(bytes.data() + kVolumeHeaderBytes + 4, "BZh", 3) == 0;
    if (bzip2) {
        a.records = inflate_blocks(bytes, kVolumeHeaderBytes, path);
    } else {
        bytes.erase(bytes.begin(), bytes.begin() + kVolumeHeaderBytes);
        a.records = std::move(bytes);
    }
    return a;
}

std::vector<Message> split_messages(const std::vector<std::uint8_t>& records, const std::string& path) {
    std::vector<Message> messages;
    messages.reserve(records.size() / kRecordBytes + 16);
    const std::uint8_t* r = records.data();
    const std::size_t n = records.size();
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t left = n - pos;
        if (left < kCtmBytes + kHeaderBytes) {
            if (all_zero(r + pos, left)) break;  // padding at the end
            fail(path, "truncated record" + at(pos) + " of the messages (" + std::to_string(left) + " bytes left)");
        }
        const std::uint8_t* h = r + pos + kCtmBytes;
        const std::size_t halfwords = be16(h);
        const int type = h[3];
        if (halfwords == 0) {  // an empty record
            pos += std::min(kRecordBytes, left);
            continue;
        }
        // Radial messages of the generic format take the bytes their size
        // says; all others fill fixed records. A size of 65535 says the
        // segment fields hold the size in bytes.
        std::size_t bytes = 2 * halfwords;
        if (halfwords == 0xFFFF) bytes = std::size_t{be16(h + 12)} << 16 | be16(h + 14);
        const bool sized = type == 31 || type == 29 || halfwords == 0xFFFF;
        const std::size_t span = sized ? kCtmBytes + bytes : kRecordBytes;
        const std::string what = "message type " + std::to_string(type) + at(pos) + " of the messages";
        if (bytes < kHeaderBytes) fail(path, what + ": size of " + std::to_string(bytes) + " bytes, shorter than its header");
        if (!sized && kCtmBytes + bytes > kRecordBytes)
            fail(path, what + ": size of " + std::to_string(bytes) + " bytes does not fit its 2432-byte record");
        if (kCtmBytes + bytes > left)
            fail(path, what + ": its " + std::to_string(bytes) + " bytes run past the end of the data (" +
                           std::to_string(left - kCtmBytes) + " left)");
        messages.push_back({type, h, bytes});
        pos += std::min(span, left);
    }
    return messages;
}

}  // namespace velmora::polar::nexrad
