#include "io/classic_header.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velmora {

namespace {

// The header is read up to this many bytes; a header that goes on is
// checked as far as it was read.
constexpr std::uintmax_t kMaxHeaderBytes = std::uintmax_t{16} << 20;

// Where a variable's values lie, as the header says.
struct Extent {
    std::string name;
    std::uint64_t begin = 0;
    double per_record = 0;   // bytes of one record (record variables) or of all values
    bool record = false;
};

class Header {
public:
    Header(std::vector<unsigned char> bytes, std::uintmax_t file_size)
        : d_(std::move(bytes)), file_size_(file_size) {}

    std::string problem() {
        version_ = d_[3];
        if (version_ != 1 && version_ != 2 && version_ != 5) return {};   // the library names it
        wide_ = version_ == 5;
        records_ = number(wide_ ? 8 : 4);
        std::uint64_t ndims = 0;
        list("dimensions", ndims);
        for (std::uint64_t i = 0; i < ndims && more(); ++i) {
            name("a dimension");
            dims_.push_back(number(wide_ ? 8 : 4));
        }
        attributes("global attributes");
        std::uint64_t nvars = 0;
        list("variables", nvars);
        for (std::uint64_t i = 0; i < nvars && more(); ++i) variable(ndims);
        if (more()) check_extents();
        // A header the file ends inside would be read on with made-up
        // counts (the library pads what is missing).
        if (cut_ && d_.size() == file_size_)
            note("its header is cut short (the file ends at byte " + std::to_string(file_size_) + ")");
        return problem_;
    }

private:
    void variable(std::uint64_t ndims) {
        Extent e;
        e.name = name("a variable");
        const std::uint64_t n = count("dimensions of variable " + e.name);
        double values = 1;
        for (std::uint64_t k = 0; k < n && more(); ++k) {
            const std::uint64_t dim = number(wide_ ? 8 : 4);
            if (more() && dim >= ndims)
                note("variable " + e.name + " names dimension " + std::to_string(dim) + " of " + std::to_string(ndims));
            if (!more()) break;
            // The unlimited dimension (length 0) comes first: one record a step.
            if (k == 0 && dims_[dim] == 0) e.record = true;
            else values *= static_cast<double>(dims_[dim]);
        }
        attributes("attributes of variable " + e.name);
        e.per_record = values * type("variable " + e.name);
        skip(wide_ ? 8 : 4);   // its size
        e.begin = number(version_ == 1 ? 4 : 8);
        extents_.push_back(std::move(e));
    }

    // The values of every variable within the file: a file cut short reads
    // as fill values through the library, with no error. Records are
    // counted as tight as they may be packed, so the end is never
    // overestimated.
    void check_extents() {
        double record_bytes = 0;
        for (const Extent& e : extents_)
            if (e.record) record_bytes += e.per_record;
        const bool streaming = records_ == (wide_ ? ~std::uint64_t{0} : 0xFFFFFFFFu);
        for (const Extent& e : extents_) {
            if (e.per_record == 0 || (e.record && (streaming || records_ == 0))) continue;
            const double end = static_cast<double>(e.begin) + e.per_record +
                               (e.record ? static_cast<double>(records_ - 1) * record_bytes : 0.0);
            if (end > static_cast<double>(file_size_)) {
                char last[32];   // a forged header's end may pass what an integer holds
                std::snprintf(last, sizeof last, "%.0f", end);
                note("its " + std::to_string(file_size_) + " bytes end before the values of variable " + e.name +
                     " (up to byte " + last + "): the file is cut short");
                return;
            }
        }
    }

    bool more() const { return problem_.empty() && !cut_; }
    void note(const std::string& what) {
        if (problem_.empty()) problem_ = what;
    }
    std::uint64_t number(std::size_t bytes) {
        if (!more()) return 0;
        if (at_ + bytes > d_.size()) {
            cut_ = true;   // read no further
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | d_[at_ + i];
        at_ += bytes;
        return v;
    }
    void skip(std::uint64_t bytes) {
        if (!more()) return;
        if (bytes > d_.size() - at_) cut_ = true;
        else at_ += static_cast<std::size_t>(bytes);
    }
    std::uint64_t count(const std::string& what) {
        const std::uint64_t n = number(wide_ ? 8 : 4);
        if (more() && n > file_size_) {
            note("it counts " + std::to_string(n) + " " + what + ", more than its " + std::to_string(file_size_) +
                 " bytes can hold");
            return 0;
        }
        return n;
    }
    std::string name(const std::string& what) {
        const std::uint64_t len = count("characters in the name of " + what);
        if (!more()) return {};
        const std::size_t avail = d_.size() - at_;
        std::string text(reinterpret_cast<const char*>(d_.data() + at_), static_cast<std::size_t>(std::min<std::uint64_t>(len, std::min<std::size_t>(avail, 64))));
        skip((len + 3) / 4 * 4);
        return "\"" + text + "\"";
    }
    void list(const std::string& what, std::uint64_t& n) {
        number(4);   // the tag, or 0 for an absent list
        n = count(what);
    }
    // The size of one value of a type a classic file may hold; 0 for none.
    int type(const std::string& what) {
        const std::uint64_t t = number(4);
        if (!more()) return 0;
        static const int sizes[] = {0, 1, 1, 2, 4, 4, 8, 1, 2, 4, 8, 8};   // NC_BYTE .. NC_UINT64
        const std::uint64_t last = version_ == 5 ? 11 : 6;
        if (t < 1 || t > last) {
            note(what + " has type code " + std::to_string(t) + ", which no CDF-" + std::to_string(version_) +
                 " file holds");
            return 0;
        }
        return sizes[t];
    }
    void attributes(const std::string& what) {
        std::uint64_t n = 0;
        list(what, n);
        for (std::uint64_t i = 0; i < n && more(); ++i) {
            const std::string att = "attribute " + name("an attribute");
            const int size = type(att);
            const std::uint64_t values = count("values of " + att);
            skip((values * static_cast<std::uint64_t>(size) + 3) / 4 * 4);
        }
    }

    std::vector<unsigned char> d_;
    std::uintmax_t file_size_;
    std::size_t at_ = 4;
    int version_ = 0;
    bool wide_ = false;
    bool cut_ = false;
    std::uint64_t records_ = 0;
    std::vector<std::uint64_t> dims_;
    std::vector<Extent> extents_;
    std::string problem_;
};

}  // namespace

std::string classic_header_problem(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size < 4) return {};
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min(size, kMaxHeaderBytes)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    if (bytes.size() < 4 || bytes[0] != 'C' || bytes[1] != 'D' || bytes[2] != 'F') return {};
    return Header(std::move(bytes), size).problem();
}

}  // namespace velmora
