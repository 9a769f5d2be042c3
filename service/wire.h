#pragma once
// Little-endian reads and writes at named offsets of a message. Every access is checked
// against the buffer: a field a request claims beyond its end raises `wire_error`, which the
// service turns into an error reply instead of reading past the buffer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace service {

using bytes = std::vector<std::uint8_t>;

struct wire_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline void check_range(std::size_t buffer_size, std::size_t offset, std::size_t length) {
    if (offset > buffer_size || length > buffer_size - offset) {
        throw wire_error("field beyond the end of the message");
    }
}

template <typename T>
T get_le(std::span<const std::uint8_t> buf, std::size_t offset) {
    check_range(buf.size(), offset, sizeof(T));
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(buf[offset + i]) << (8 * i);
    }
    return value;
}

template <typename T>
void put_le(std::span<std::uint8_t> buf, std::size_t offset, T value) {
    check_range(buf.size(), offset, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        buf[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint32_t get_u32(std::span<const std::uint8_t> buf, std::size_t offset) {
    return get_le<std::uint32_t>(buf, offset);
}
inline std::uint64_t get_u64(std::span<const std::uint8_t> buf, std::size_t offset) {
    return get_le<std::uint64_t>(buf, offset);
}
inline void put_u32(std::span<std::uint8_t> buf, std::size_t offset, std::uint32_t value) {
    put_le(buf, offset, value);
}
inline void put_u64(std::span<std::uint8_t> buf, std::size_t offset, std::uint64_t value) {
    put_le(buf, offset, value);
}

inline std::span<const std::uint8_t> get_bytes(std::span<const std::uint8_t> buf,
                                               std::size_t offset, std::size_t length) {
    check_range(buf.size(), offset, length);
    return buf.subspan(offset, length);
}

inline std::span<std::uint8_t> field(std::span<std::uint8_t> buf, std::size_t offset,
                                     std::size_t length) {
    check_range(buf.size(), offset, length);
    return buf.subspan(offset, length);
}

inline void put_bytes(std::span<std::uint8_t> buf, std::size_t offset,
                      std::span<const std::uint8_t> value) {
    auto target = field(buf, offset, value.size());
    std::copy(value.begin(), value.end(), target.begin());
}

/// Lower-case hexadecimal, two digits a byte.
inline std::string to_hex(std::span<const std::uint8_t> data) {
    constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (auto b : data) {
        out += DIGITS[b >> 4];
        out += DIGITS[b & 0x0F];
    }
    return out;
}

}  // namespace service
