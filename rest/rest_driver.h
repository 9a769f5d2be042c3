#pragma once
// The transport of protected commands to the service.

#include <cstdint>
#include <functional>

#include "rest/cmd.h"

/// Sends cmd.request and replaces cmd.response with the reply body; a result code.
std::uint32_t rest_send(cmd_t& cmd);
/// Brings the transport up; false (after a message on standard error) when it cannot.
bool rest_initialize();
bool rest_finalize();

/// A stand-in for the whole HTTPS exchange, for tests that script the service's replies.
/// While one is installed, rest_initialize succeeds without touching the network.
using rest_transport_t = std::function<std::uint32_t(cmd_t&)>;
void set_rest_transport_for_testing(rest_transport_t transport);
