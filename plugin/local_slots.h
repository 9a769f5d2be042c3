#pragma once
// Slots the plug-in answers without asking the service.

#include <cstdint>

#include "plugin/host_types.h"

std::uint32_t get_slot_count();
std::uint32_t get_slot_info(void* info, std::uint64_t size);
void delete_bytes(std::uint8_t* bytes, std::uint32_t count);
void delete_integers(std::uint32_t* words, std::uint32_t count);
std::uint32_t get_mofn_status(void* host, void* record);
std::uint32_t get_protocol_level(void* host, std::uint16_t* level);
std::uint32_t get_container_list(void* host, std::uint32_t, std::uint32_t, api_integer_block* out);
/// 1 operational, 2 not operational, 0 unknown container.
std::uint32_t get_operation_status(void* host, std::uint32_t container);
