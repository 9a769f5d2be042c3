#pragma once
// Start-up and shut-down of the plug-in, in their fixed order.

#include <array>
#include <cstdint>

#include "plugin/plugin_api.h"

using slot_table_t = std::array<plugin_slot_t, PLUGIN_SLOT_COUNT>;

/// The slots the plug-in answers without the service; every other entry null.
slot_table_t local_slot_table();

/// Checks the arguments, hands `slots` to the host's table in one go and brings the
/// subsystems up. Standard-error texts and result codes are those the host expects.
std::uint32_t initialize_plugin(int version, plugin_slot_t* table, const slot_table_t& slots);
std::uint32_t finalize_plugin();

/// Asks the service for this instance's application id (sessionless ORVA_GEN_APPID).
std::uint32_t request_app_id();
/// One keepalive to a partition, and one status probe; both through the send path.
std::uint32_t send_keepalive(std::uint64_t serial);
std::uint32_t send_status_probe(std::uint64_t serial);
