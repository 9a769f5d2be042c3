#pragma once
// The host's structures, laid out as the host lays them out.

#include <cstdint>

struct api_memory_block {
    std::uint8_t* data;
    std::uint32_t length;  // in: capacity; out: length produced or needed
};

struct api_integer_block {
    std::uint32_t* data;
    std::uint32_t count;
};

/// The slot description record that get_slot_info fills.
namespace slot_info_layout {
inline constexpr std::uint64_t SIZE = 192;
inline constexpr std::uint64_t VERSION = 0;
inline constexpr std::uint64_t SLOT_NAME = 8;
inline constexpr std::uint64_t SLOT_NAME_LENGTH = 40;
inline constexpr std::uint64_t DESCRIPTION = 48;
inline constexpr std::uint64_t DESCRIPTION_LENGTH = 176;
inline constexpr std::uint64_t RESERVED = 184;
inline constexpr std::uint64_t FLAGS = 188;
}  // namespace slot_info_layout

/// The M-of-N status record: two 64-bit words and a 32-bit word.
inline constexpr std::uint64_t MOFN_STATUS_SIZE = 20;
