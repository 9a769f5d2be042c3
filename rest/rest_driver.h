#pragma once
// The transport of protected commands to the service: one HTTPS POST per command, with the
// retry policy, the status mapping and the version bookkeeping of the service's replies.

#include <chrono>
#include <cstdint>
#include <functional>

#include "rest/cmd.h"

/// Sends cmd.request and replaces cmd.response with the reply body; a result code. Raises an
/// error when the request cannot be built (domain identifier, hashing, no pool).
std::uint32_t rest_send(cmd_t& cmd);
/// Brings the transport up; false (after a log line) when it cannot.
bool rest_initialize();
/// Always true: the pool and the versions stay until the next initialisation.
bool rest_finalize();

/// For tests: how the driver pauses between attempts (null restores sleeping), and how long
/// start-up waits for the first bearer token.
using rest_sleep_t = void (*)(std::chrono::milliseconds);
void set_rest_sleep_for_testing(rest_sleep_t sleep);
void set_rest_token_waits_for_testing(std::chrono::milliseconds first,
                                      std::chrono::milliseconds second);
