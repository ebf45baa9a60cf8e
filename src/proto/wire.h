#pragma once
// Varint and key writing and reading, shared by the ONNX encoder and the TensorDesc decoder.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestro::proto::wire {

constexpr uint32_t kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5;

// Byte count of a varint: (b * 9 + 73) / 64 with b the index of the highest set bit.
inline size_t varint_len(uint64_t v) {
    int b = v == 0 ? 0 : 63 - __builtin_clzll(v);
    return static_cast<size_t>((b * 9 + 73) / 64);
}

// Writes a varint into out (at least 10 bytes of room); returns the bytes written.
inline size_t write_varint(uint64_t v, uint8_t* out) {
    size_t n = 0;
    while (v >= 0x80) {
        out[n++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    out[n++] = static_cast<uint8_t>(v);
    return n;
}

inline uint64_t key(uint32_t field, uint32_t wire_type) {
    return (static_cast<uint64_t>(field) << 3) | wire_type;
}

inline size_t key_len(uint32_t field) { return varint_len(key(field, 0)); }

// Reads a varint at data[pos..size); advances pos. Empty on truncation or over 10 bytes.
inline std::optional<uint64_t> read_varint(const uint8_t* data, size_t size, size_t& pos) {
    uint64_t result = 0;
    for (int i = 0; i < 10; ++i) {
        if (pos >= size) return std::nullopt;
        uint8_t byte = data[pos++];
        if (i == 9 && byte > 1) return std::nullopt;
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return result;
    }
    return std::nullopt;
}

}  // namespace kestro::proto::wire
