#pragma once
// Little-endian field access over byte buffers. Every access is bounds-checked: a field that
// does not fit the buffer is reported, never read or written past the end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace wire {

/// True when `width` bytes at `offset` lie inside a buffer of `size` bytes.
constexpr bool fits(std::size_t size, std::size_t offset, std::size_t width) {
    return offset <= size && width <= size - offset;
}

template <typename T>
std::optional<T> get_le(std::span<const std::uint8_t> buffer, std::size_t offset) {
    if (!fits(buffer.size(), offset, sizeof(T))) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= std::uint64_t{buffer[offset + i]} << (8 * i);
    }
    return static_cast<T>(value);
}

template <typename T>
bool put_le(std::span<std::uint8_t> buffer, std::size_t offset, T value) {
    if (!fits(buffer.size(), offset, sizeof(T))) {
        return false;
    }
    auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        buffer[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return true;
}

inline std::optional<std::uint32_t> get_u32(std::span<const std::uint8_t> b, std::size_t off) {
    return get_le<std::uint32_t>(b, off);
}
inline std::optional<std::uint64_t> get_u64(std::span<const std::uint8_t> b, std::size_t off) {
    return get_le<std::uint64_t>(b, off);
}
inline bool put_u32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
    return put_le(b, off, v);
}
inline bool put_u64(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v) {
    return put_le(b, off, v);
}

/// Copies `source` into the buffer at `offset`; false (and nothing written) if it does not fit.
inline bool put_bytes(std::span<std::uint8_t> buffer, std::size_t offset,
                      std::span<const std::uint8_t> source) {
    if (!fits(buffer.size(), offset, source.size())) {
        return false;
    }
    if (!source.empty()) {
        std::memcpy(buffer.data() + offset, source.data(), source.size());
    }
    return true;
}

/// The `width` bytes at `offset`, or an empty optional when they do not lie inside the buffer.
inline std::optional<std::span<const std::uint8_t>> get_bytes(std::span<const std::uint8_t> buffer,
                                                              std::size_t offset, std::size_t width) {
    if (!fits(buffer.size(), offset, width)) {
        return std::nullopt;
    }
    return buffer.subspan(offset, width);
}

/// Rounds a size up to the next multiple of 8, as every request buffer is.
constexpr std::size_t round_up_8(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

}  // namespace wire
