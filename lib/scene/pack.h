// What the viewer's page receives: one JSON header describing the scene and
// the typed arrays it points at, in one binary buffer, so that geometry and
// fields travel as the bytes of Float32Array, Int32Array and Uint32Array,
// never as lists of numbers in JSON.
//
// Layout (little-endian): "VPK1", the header's length (uint32), the header
// (UTF-8 JSON), zero padding to a multiple of 8, then every array, each at
// a multiple of 8. The header's "arrays" lists them: {"type", "count",
// "offset"}; the rest of the header refers to an array by its index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "run/document.h"

namespace velmora::scene {

class Pack {
public:
    // Adds an array; its index for the header. type: "float32", "int32", "uint32", "uint8".
    int add(std::span<const float> values) { return add_bytes(values.data(), values.size(), "float32", 4); }
    int add(std::span<const std::int32_t> values) { return add_bytes(values.data(), values.size(), "int32", 4); }
    int add(std::span<const std::uint32_t> values) { return add_bytes(values.data(), values.size(), "uint32", 4); }
    int add(std::span<const std::uint8_t> values) { return add_bytes(values.data(), values.size(), "uint8", 1); }

    Json& header() { return header_; }
    // The buffer the page reads.
    std::string bytes() const;

private:
    int add_bytes(const void* data, std::size_t count, const char* type, std::size_t size);
    struct Array {
        std::string type;
        std::size_t count;
        std::vector<std::byte> bytes;
    };
    std::vector<Array> arrays_;
    Json header_ = Json::object();
};

}  // namespace velmora::scene
