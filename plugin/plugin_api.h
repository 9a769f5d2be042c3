#pragma once
// The C interface the host library loads: four exported functions and the slot table.

#include <cstddef>
#include <cstdint>

#define XIMORA_EXPORT __attribute__((visibility("default")))

/// One entry of the host's function table; the host casts each to its slot's real type.
using plugin_slot_t = void (*)();

/// Number of entries in the host's function table.
inline constexpr std::size_t PLUGIN_SLOT_COUNT = 137;

extern "C" {
XIMORA_EXPORT void plugin_get_version(std::int32_t* major, std::int32_t* minor);
XIMORA_EXPORT const char* plugin_get_description();
XIMORA_EXPORT std::uint32_t plugin_initialize(int version, plugin_slot_t* table);
XIMORA_EXPORT std::uint32_t plugin_finalize();
}
