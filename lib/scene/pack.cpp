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
    Array a{type, count, std::vector<std::byte>(count * size)};
    if (count) std::memcpy(a.bytes.data(), data, count * size);
    arrays_.push_back(std::move(a));
    return static_cast<int>(arrays_.size() - 1);
}

std::string Pack::bytes() const {
    Json header = header_;
    Json list = Json::array();
    std::size_t offset = 0;
    for (const Array& a : arrays_) {
        list.push_back({{"type", a.type}, {"count", a.count}, {"offset", offset}});
        offset += padded(a.bytes.size());
    }
    header["arrays"] = std::move(list);
    const std::string text = header.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string out = "VPK1";
    put_u32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
    out.resize(padded(out.size()), '\0');
    const std::size_t start = out.size();
    out.resize(start + offset, '\0');
    std::size_t at = start;
    for (const Array& a : arrays_) {
        if (!a.bytes.empty()) std::memcpy(out.data() + at, a.bytes.data(), a.bytes.size());
        at += padded(a.bytes.size());
    }
    return out;
}

}  // namespace velmora::scene
