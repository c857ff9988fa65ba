#include "scene/pack.h"

#include <cstring>

namespace velmora::scene {

namespace {

std::size_t padded(std::size_t n) { return (n + 7) / 8 * 8; }

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

int Pack::add_bytes(const void* data, std::size_t count, const char* type, std::size_t size) {
    const std::size_t at = data_.size();
    data_.resize(at + padded(count * size), '\0');
    if (count) std::memcpy(data_.data() + at, data, count * size);
    arrays_.push_back({type, count, at});
    return static_cast<int>(arrays_.size() - 1);
}

// The magic, the header's length, the header and its padding.
std::string Pack::prefix() const {
    Json header = header_;
    Json list = Json::array();
    for (const Array& a : arrays_) list.push_back({{"type", a.type}, {"count", a.count}, {"offset", a.offset}});
    header["arrays"] = std::move(list);
    const std::string text = header.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string out = "VPK1";
    put_u32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
    out.resize(padded(out.size()), '\0');
    return out;
}

std::string Pack::bytes() const { return prefix() + data_; }

std::string Pack::take() && {
    // Moved up in place where the storage has room for the prefix, as
    // grown storage mostly has.
    std::string out = std::move(data_);
    out.insert(0, prefix());
    return out;
}

}  // namespace velmora::scene
