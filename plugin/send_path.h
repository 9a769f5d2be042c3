#pragma once
// The single road of every command to a partition and back, and the retry of whole sequences.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/codes.h"
#include "rest/cmd.h"

namespace xtc {
struct state_t;
}

/// Plug-in states: 0 not initialised, 1 initialising, 2 running, 3 finalising.
enum plugin_state_t : std::int32_t {
    PLUGIN_NOT_INITIALISED = 0,
    PLUGIN_INITIALISING = 1,
    PLUGIN_RUNNING = 2,
    PLUGIN_FINALISING = 3,
};
std::int32_t plugin_state();
void set_plugin_state(std::int32_t state);

/// The tunnel layer of this plug-in instance; null until start-up built one.
std::shared_ptr<xtc::state_t> xtc_state();
void set_xtc_state(std::shared_ptr<xtc::state_t> state);

/// Protects, sends and unprotects one command; 0, the HSM's result word, or a transport or
/// tunnel code. On 0 the response holds the unprotected reply.
std::uint32_t send_command(cmd_t& cmd);

/// Where the command context sits in a context-bound command.
inline constexpr std::size_t DEFAULT_CONTEXT_OFFSET = 176;

/// Opens a command context for the session's partition, places it into `cmd` at
/// `context_offset` and sends `cmd`.
std::uint32_t send_context_bound(cmd_t& cmd, std::uint32_t session,
                                 std::size_t context_offset = DEFAULT_CONTEXT_OFFSET);
/// The same for commands that have no session yet: the context is opened sessionless.
std::uint32_t send_context_bound_sessionless(cmd_t& cmd,
                                             std::size_t context_offset = DEFAULT_CONTEXT_OFFSET);

inline constexpr int SEQUENCE_ATTEMPTS = 5;

bool is_retryable(std::uint32_t code);
void log_sequence_retry();
std::uint32_t give_up_after_retries(std::uint32_t last_code);

/// Runs `sequence` until it returns something other than RC_RETRY or a lost context, at most
/// `attempts` times. Each run builds its commands afresh, so nothing of a failed run is reused.
template <typename Sequence>
std::uint32_t automated_retry(Sequence&& sequence, int attempts) {
    std::uint32_t code = RC_GENERAL_ERROR;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        code = sequence();
        if (!is_retryable(code)) {
            return code;
        }
        log_sequence_retry();
    }
    return give_up_after_retries(code);
}
