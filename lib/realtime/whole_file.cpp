// Whether a file is whole by its format (arrivals.h): the checks a watcher
// makes before it reads a volume that may still be being written.
#include <bzlib.h>
#include <hdf5.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "io/file_handles.h"
#include "polar/nexrad_records.h"
#include "realtime/arrivals.h"

namespace velmora::realtime {

namespace {

std::vector<unsigned char> head_of(const std::string& path, std::size_t n, std::uint64_t& size) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    size = in ? static_cast<std::uint64_t>(in.tellg()) : 0;
    in.seekg(0);
    std::vector<unsigned char> b(n);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    b.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    return b;
}

std::uint64_t little(const unsigned char* p, std::size_t bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

// Reads every numeric dataset of an HDF5 file: a file cut short fails here.
herr_t read_dataset(hid_t group, const char* name, const H5L_info_t*, void* problem) {
    Hid obj(H5Oopen(group, name, H5P_DEFAULT), H5Oclose);
    if (!obj) return 0;
    if (H5Iget_type(obj.get()) != H5I_DATASET) return 0;
    const Hid type(H5Dget_type(obj.get()), H5Tclose);
    const H5T_class_t kind = H5Tget_class(type.get());
    if (kind != H5T_INTEGER && kind != H5T_FLOAT) return 0;
    const Hid native(H5Tget_native_type(type.get(), H5T_DIR_ASCEND), H5Tclose);
    const Hid space(H5Dget_space(obj.get()), H5Sclose);
    const hssize_t n = H5Sget_simple_extent_npoints(space.get());
    std::vector<unsigned char> buf(static_cast<std::size_t>(std::max<hssize_t>(n, 0)) * H5Tget_size(native.get()) + 1);
    if (n > 0 && H5Dread(obj.get(), native.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) < 0) {
        *static_cast<std::string*>(problem) = std::string("dataset ") + name + " does not read";
        return 1;
    }
    return 0;
}

// HDF5 (NetCDF-4, ODIM): the end of file its superblock gives (its
// addresses count from the base address, or from the superblock when that
// is 0), then every dataset.
std::string hdf5_missing(const std::string& path, const std::vector<unsigned char>& h, std::size_t at,
                         std::uint64_t size) {
    const unsigned char* s = h.data() + at;
    const int version = s[8];
    const std::size_t offsets = version <= 1 ? s[13] : s[9];
    // Superblock 0 and 1 give their addresses after 24 or 28 bytes, 2 and 3 after 12: the base, one more, the end.
    const std::size_t base_at = version == 0 ? 24 : version == 1 ? 28 : 12;
    if ((offsets == 4 || offsets == 8) && at + base_at + 3 * offsets <= h.size()) {
        const std::uint64_t base = little(s + base_at, offsets), eof = little(s + base_at + 2 * offsets, offsets);
        const std::uint64_t end = (base ? base : at) + eof;
        if (eof != (offsets == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu) && end > size)
            return "it ends at byte " + std::to_string(size) + " of the " + std::to_string(end) + " its header gives";
    }
    const QuietHdf5 quiet;
    const Hid file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) return "HDF5 cannot open it";
    std::string problem;
    if (H5Lvisit(file.get(), H5_INDEX_NAME, H5_ITER_NATIVE, read_dataset, &problem) < 0 && problem.empty())
        problem = "its objects cannot all be visited";
    return problem;
}

// A classic NetCDF header (CDF-1, -2, -5), read as far as the end of the
// data it describes: every variable's begin and size.
class ClassicHeader {
public:
    ClassicHeader(const std::string& path, std::uint64_t size) : in_(path, std::ios::binary), size_(size) {}

    // The end of the data, or 0 when the header cannot say (streaming, cut short).
    std::uint64_t data_end() {
        unsigned char magic[4];
        in_.read(reinterpret_cast<char*>(magic), 4);
        wide_ = magic[3] == 5;
        const std::uint64_t records = number(wide_ ? 8 : 4);
        if (records == (wide_ ? ~std::uint64_t{0} : 0xFFFFFFFFu)) return 0;   // streaming: no count yet
        std::vector<std::uint64_t> dims;
        for (std::uint64_t n = list(); n-- > 0 && in_;) name(), dims.push_back(number(wide_ ? 8 : 4));
        attributes();
        std::uint64_t end = 0, record = 0;
        struct RecordVar {
            std::uint64_t begin, unpadded;
        };
        std::vector<RecordVar> record_vars;
        for (std::uint64_t n = list(); n-- > 0 && in_;) {
            name();
            std::uint64_t values = 1;
            bool is_record = false;
            const std::uint64_t rank = number(wide_ ? 8 : 4);
            for (std::uint64_t k = 0; k < rank && in_; ++k) {
                const std::uint64_t d = number(wide_ ? 8 : 4);
                const std::uint64_t length = d < dims.size() ? dims[d] : 0;
                if (k == 0 && length == 0) is_record = true;
                else values *= length;
            }
            attributes();
            const std::uint64_t bytes = values * type_size(number(4));
            const std::uint64_t vsize = number(wide_ ? 8 : 4), begin = number(magic[3] == 1 ? 4 : 8);
            if (is_record) record += vsize, record_vars.push_back({begin, bytes});
            else end = std::max(end, begin + vsize);
        }
        if (!in_) return 0;
        // One record variable's records are not padded.
        if (record_vars.size() == 1) record = record_vars[0].unpadded;
        for (const RecordVar& r : record_vars)
            if (records > 0) end = std::max(end, r.begin + (records - 1) * record + r.unpadded);
        return end;
    }

private:
    std::uint64_t number(std::size_t bytes) {
        unsigned char b[8] = {};
        in_.read(reinterpret_cast<char*>(b), static_cast<std::streamsize>(bytes));
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | b[i];
        return v;
    }
    void skip(std::uint64_t bytes) {
        if (bytes > size_) in_.setstate(std::ios::failbit);
        else in_.seekg(static_cast<std::streamoff>((bytes + 3) / 4 * 4), std::ios::cur);
    }
    std::uint64_t list() {
        number(4);   // the tag, or 0 for an absent list
        const std::uint64_t n = number(wide_ ? 8 : 4);
        if (n > size_) in_.setstate(std::ios::failbit);
        return n;
    }
    void name() { skip(number(wide_ ? 8 : 4)); }
    void attributes() {
        for (std::uint64_t n = list(); n-- > 0 && in_;) {
            name();
            const std::uint64_t size = type_size(number(4));
            skip(size * number(wide_ ? 8 : 4));
        }
    }
    static std::uint64_t type_size(std::uint64_t type) {
        switch (type) {
            case 1: case 2: case 7: return 1;    // byte, char, ubyte
            case 3: case 8: return 2;            // short, ushort
            case 10: case 11: case 6: return 8;  // int64, uint64, double
            default: return 4;                   // int, float, uint
        }
    }

    std::ifstream in_;
    std::uint64_t size_;
    bool wide_ = false;
};

// The bytes of a NEXRAD file, through gzip when it is compressed.
std::vector<std::uint8_t> nexrad_bytes(const std::string& path) {
    struct Gz {
        gzFile f;
        ~Gz() {
            if (f) gzclose(f);
        }
    } in{gzopen(path.c_str(), "rb")};
    if (!in.f) throw std::runtime_error("it cannot be opened");
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> buf(1 << 20);
    for (int got; (got = gzread(in.f, buf.data(), static_cast<unsigned>(buf.size()))) > 0;)
        bytes.insert(bytes.end(), buf.begin(), buf.begin() + got);
    int err = Z_OK;
    gzerror(in.f, &err);
    if (err != Z_OK) throw std::runtime_error("its gzip stream ends early");
    return bytes;
}

// The messages of the last bzip2 block, whose sizes must all fit.
std::vector<std::uint8_t> last_block(const std::vector<std::uint8_t>& b, std::size_t pos) {
    std::size_t last = 0, last_size = 0;
    while (pos < b.size()) {
        if (b.size() - pos < 4) throw std::runtime_error("a block size is cut short");
        const std::int64_t n = static_cast<std::int32_t>(polar::nexrad::be32(b.data() + pos));
        const std::size_t size = static_cast<std::size_t>(n < 0 ? -n : n);
        if (size > b.size() - pos - 4) throw std::runtime_error("its last bzip2 block is cut short");
        last = pos + 4, last_size = size, pos += 4 + size;
    }
    std::vector<std::uint8_t> out(std::max<std::size_t>(last_size * 40, 1 << 16));
    for (;;) {
        unsigned int got = static_cast<unsigned int>(out.size());
        const int rc = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &got,
                                                  const_cast<char*>(reinterpret_cast<const char*>(b.data() + last)),
                                                  static_cast<unsigned int>(last_size), 0, 0);
        if (rc == BZ_OK) return out.resize(got), out;
        if (rc != BZ_OUTBUFF_FULL || out.size() > (std::size_t{1} << 28)) throw std::runtime_error("its last bzip2 block does not decompress");
        out.resize(out.size() * 4);
    }
}

// NEXRAD Level II: the volume is whole when its last radial ends the volume
// (radial status 4 in message 1 or 31).
std::string nexrad_missing(const std::string& path) {
    try {
        const std::vector<std::uint8_t> b = nexrad_bytes(path);
        if (b.size() < 28) return "its volume header is cut short";
        const bool bzip2 = b.size() >= 31 && std::memcmp(b.data() + 28, "BZh", 3) == 0;
        const std::vector<std::uint8_t> records = bzip2 ? last_block(b, 24) : std::vector<std::uint8_t>(b.begin() + 24, b.end());
        const auto messages = polar::nexrad::split_messages(records, path);
        for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
            const std::uint8_t* body = m->data + polar::nexrad::kHeaderBytes;
            const std::size_t size = m->size - polar::nexrad::kHeaderBytes;
            if (m->type == 31 && size > 21) return body[21] == 4 ? "" : "no end-of-volume radial yet";
            if (m->type == 1 && size > 13) return polar::nexrad::be16(body + 12) == 4 ? "" : "no end-of-volume radial yet";
        }
        return "no radial yet";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

}  // namespace

std::string missing_by_format(const std::string& path) {
    std::uint64_t size = 0;
    const std::vector<unsigned char> h = head_of(path, 2048 + 64, size);
    const auto starts = [&](std::size_t at, std::string_view magic) {
        return h.size() >= at + magic.size() && std::memcmp(h.data() + at, magic.data(), magic.size()) == 0;
    };
    for (const std::size_t at : {0, 512, 1024, 2048})
        if (starts(at, "\x89HDF\r\n\x1a\n")) return hdf5_missing(path, h, at, size);
    if (starts(0, "CDF\x01") || starts(0, "CDF\x02") || starts(0, "CDF\x05")) {
        const std::uint64_t end = ClassicHeader(path, size).data_end();
        if (end > size)
            return "it ends at byte " + std::to_string(size) + " of the " + std::to_string(end) + " its header gives";
        return {};
    }
    if (starts(0, "AR2V") || starts(0, "ARCHIVE2") || starts(0, "\x1f\x8b")) {
        // A gzip file is a NEXRAD volume when what it holds starts as one.
        if (starts(0, "\x1f\x8b")) {
            gzFile f = gzopen(path.c_str(), "rb");
            char magic[8] = {};
            const int got = f ? gzread(f, magic, 8) : 0;
            if (f) gzclose(f);
            if (got < 4 || (std::memcmp(magic, "AR2V", 4) != 0 && std::memcmp(magic, "ARCHIVE2", 8) != 0))
                return got < 8 ? "its gzip stream ends early" : "";
        }
        return nexrad_missing(path);
    }
    if (starts(0, "<?xml") || starts(0, "<VTKFile")) {
        std::ifstream in(path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(size > 64 ? size - 64 : 0));
        const std::string tail((std::istreambuf_iterator<char>(in)), {});
        return tail.find("</VTKFile>") == std::string::npos ? "no closing </VTKFile> yet" : "";
    }
    return {};
}

}  // namespace velmora::realtime
