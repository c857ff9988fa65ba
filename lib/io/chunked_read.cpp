#include "io/chunked_read.h"

#include <hdf5.h>
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "io/file_handles.h"
#include "large_memory.h"
#include "io/threads.h"

namespace velmora {

namespace {

constexpr int kMaxRank = 8;
// Beyond this many chunks, looking each one up costs more than it saves.
constexpr hsize_t kMaxChunks = 65536;

struct Layout {
    int rank = 0;
    hsize_t dims[kMaxRank] = {};
    hsize_t chunk[kMaxRank] = {};
    bool shuffle = false, deflate = false;
    std::size_t chunk_values() const {
        std::size_t n = 1;
        for (int d = 0; d < rank; ++d) n *= chunk[d];
        return n;
    }
};

// The filters in the order they were applied when writing: shuffle (if
// any) before deflate (if any); anything else is not for this reader.
bool read_filters(hid_t dcpl, Layout& l) {
    const int n = H5Pget_nfilters(dcpl);
    if (n < 0 || n > 2) return false;
    for (int i = 0; i < n; ++i) {
        unsigned flags = 0, config = 0;
        std::size_t nvalues = 8;
        unsigned values[8] = {};
        char name[64] = "";
        const H5Z_filter_t f = H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &nvalues, values, sizeof name, name,
                                              &config);
        if (f == H5Z_FILTER_SHUFFLE && i == 0 && !l.deflate)
            l.shuffle = true;
        else if (f == H5Z_FILTER_DEFLATE && !l.deflate)
            l.deflate = true;
        else
            return false;
    }
    return true;
}

struct Chunk {
    hsize_t offset[kMaxRank] = {};
    std::uint32_t mask = 0;   // filters skipped for this chunk
    std::vector<unsigned char> raw;
};

// A chunk's worth of inflated bytes. Chunks of a large volume are megabytes
// each: memory for large arrays takes far fewer page faults to fill.
using Scratch = vhost::LargeVector<unsigned char>;

// The values of one chunk, from its stored bytes into values (one chunk's
// worth): inflated and unshuffled as its filters say. False when the bytes
// are not what the filters promise.
bool decode(const Layout& l, const Chunk& c, libdeflate_decompressor* inflater, Scratch& scratch, float* values) {
    const std::size_t bytes = l.chunk_values() * sizeof(float);
    const bool deflated = l.deflate && !(c.mask & (l.shuffle ? 2u : 1u));
    const bool shuffled = l.shuffle && !(c.mask & 1u);
    const unsigned char* plain = c.raw.data();
    if (deflated) {
        scratch.resize(bytes);
        std::size_t got = 0;
        if (libdeflate_zlib_decompress(inflater, c.raw.data(), c.raw.size(), scratch.data(), bytes, &got) !=
                LIBDEFLATE_SUCCESS ||
            got != bytes)
            return false;
        plain = scratch.data();
    } else if (c.raw.size() != bytes) {
        return false;
    }
    if (!shuffled) {
        std::memcpy(values, plain, bytes);
        return true;
    }
    // Shuffled: byte b of every value stored together, plane after plane.
    // Each value is put together from its four planes (little-endian, as
    // the reader requires), a form the compiler turns into vector code.
    const std::size_t n = l.chunk_values();
    const unsigned char *p0 = plain, *p1 = plain + n, *p2 = plain + 2 * n, *p3 = plain + 3 * n;
    for (std::size_t e = 0; e < n; ++e) {
        const std::uint32_t bits = std::uint32_t{p0[e]} | std::uint32_t{p1[e]} << 8 | std::uint32_t{p2[e]} << 16 |
                                   std::uint32_t{p3[e]} << 24;
        std::memcpy(values + e, &bits, sizeof bits);
    }
    return true;
}

// Copies the part of a chunk's values that lies in the region into out.
void place(const Layout& l, const Chunk& c, const float* values, std::span<const std::size_t> start,
           std::span<const std::size_t> count, float* out) {
    hsize_t lo[kMaxRank] = {}, hi[kMaxRank] = {};
    for (int d = 0; d < l.rank; ++d) {
        lo[d] = std::max<hsize_t>(c.offset[d], start[static_cast<std::size_t>(d)]);
        hi[d] = std::min<hsize_t>({c.offset[d] + l.chunk[d], l.dims[d], start[static_cast<std::size_t>(d)] + count[static_cast<std::size_t>(d)]});
        if (lo[d] >= hi[d]) return;
    }
    const int last = l.rank - 1;
    const hsize_t row = hi[last] - lo[last];
    hsize_t at[kMaxRank];
    std::copy(lo, lo + l.rank, at);
    for (;;) {
        // Row at (at[0], .., at[last - 1], lo[last]): its place in the chunk and in out.
        std::size_t from = 0, to = 0;
        for (int d = 0; d < l.rank; ++d) {
            from = from * l.chunk[d] + (at[d] - c.offset[d]);
            to = to * count[static_cast<std::size_t>(d)] + (at[d] - start[static_cast<std::size_t>(d)]);
        }
        std::memcpy(out + to, values + from, row * sizeof(float));
        int d = last - 1;
        while (d >= 0 && ++at[d] == hi[d]) at[d] = lo[d], --d;
        if (d < 0) return;
    }
}

// The layout of a float dataset stored in chunks that hold the whole
// region; false when the dataset is anything else.
bool chunk_layout(hid_t dset, hid_t space, std::span<const std::size_t> start, std::span<const std::size_t> count,
                  Layout& l, hsize_t& nchunks) {
    const Hid type(H5Dget_type(dset), H5Tclose);
    if (!type || H5Tequal(type.get(), H5T_IEEE_F32LE) <= 0) return false;
    const Hid plist(H5Dget_create_plist(dset), H5Pclose);
    const hid_t dcpl = plist.get();
    if (space < 0 || !plist || H5Pget_layout(dcpl) != H5D_CHUNKED) return false;
    l.rank = H5Sget_simple_extent_ndims(space);
    if (l.rank < 1 || l.rank > kMaxRank || static_cast<std::size_t>(l.rank) != start.size() || start.size() != count.size())
        return false;
    if (H5Sget_simple_extent_dims(space, l.dims, nullptr) != l.rank || H5Pget_chunk(dcpl, l.rank, l.chunk) != l.rank)
        return false;
    hsize_t all_chunks = 1;
    for (int d = 0; d < l.rank; ++d) {
        const auto k = static_cast<std::size_t>(d);
        if (l.chunk[d] < 1 || start[k] + count[k] > l.dims[d] || count[k] < 1) return false;
        all_chunks *= (l.dims[d] + l.chunk[d] - 1) / l.chunk[d];
    }
    if (!read_filters(dcpl, l)) return false;
    // Chunks never written hold the fill value: left to the library.
    return H5Dget_num_chunks(dset, space, &nchunks) >= 0 && nchunks == all_chunks && nchunks <= kMaxChunks;
}

// The stored chunks that meet the region, read raw in file order.
bool read_raw_chunks(hid_t dset, hid_t space, const Layout& l, hsize_t nchunks, std::span<const std::size_t> start,
                     std::span<const std::size_t> count, std::vector<Chunk>& chunks) {
    for (hsize_t i = 0; i < nchunks; ++i) {
        Chunk c;
        unsigned mask = 0;
        haddr_t addr = 0;
        hsize_t size = 0;
        if (H5Dget_chunk_info(dset, space, i, c.offset, &mask, &addr, &size) < 0) return false;
        bool meets = true;
        for (int d = 0; d < l.rank; ++d) {
            const auto k = static_cast<std::size_t>(d);
            meets &= c.offset[d] < start[k] + count[k] && c.offset[d] + l.chunk[d] > start[k];
        }
        if (!meets) continue;
        c.raw.resize(static_cast<std::size_t>(size));
        std::uint32_t filters = 0;
        if (H5Dread_chunk(dset, H5P_DEFAULT, c.offset, &filters, c.raw.data()) < 0) return false;
        c.mask = filters;
        chunks.push_back(std::move(c));
    }
    return true;
}

// Inflated side by side, each worker taking the next chunk.
bool inflate_all(const Layout& l, std::vector<Chunk>& chunks, std::span<const std::size_t> start,
                 std::span<const std::size_t> count, float* out) {
    const unsigned workers = std::max(1u, std::min<unsigned>(worker_threads(),
                                                             static_cast<unsigned>(std::min<std::size_t>(chunks.size(), 8))));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto inflate_chunks = [&] {
        std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        Scratch scratch;
        vhost::LargeVector<float> values(l.chunk_values());
        if (!inflater) {
            failed = true;
            return;
        }
        for (std::size_t i; !failed && (i = next++) < chunks.size();) {
            if (!decode(l, chunks[i], inflater.get(), scratch, values.data())) {
                failed = true;
                return;
            }
            place(l, chunks[i], values.data(), start, count, out);
        }
    };
    auto work = [&]() noexcept {
        try {
            inflate_chunks();
        } catch (...) {   // no memory for a chunk's values: the library's reading may still do
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < workers; ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return !failed;
}

}  // namespace

bool read_chunked_floats(const std::string& path, const std::string& var, std::span<const std::size_t> start,
                         std::span<const std::size_t> count, float* out) {
    if constexpr (std::endian::native != std::endian::little) return false;
    // A file HDF5 cannot take is not an error here: the NetCDF library reads it.
    const QuietHdf5 quiet;
    const Hid file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) return false;
    const Hid dset(H5Dopen2(file.get(), var.c_str(), H5P_DEFAULT), H5Dclose);
    if (!dset) return false;
    const Hid space(H5Dget_space(dset.get()), H5Sclose);
    Layout l;
    hsize_t nchunks = 0;
    if (!space || !chunk_layout(dset.get(), space.get(), start, count, l, nchunks)) return false;
    std::vector<Chunk> chunks;
    return read_raw_chunks(dset.get(), space.get(), l, nchunks, start, count, chunks) &&
           inflate_all(l, chunks, start, count, out);
}

}  // namespace velmora
