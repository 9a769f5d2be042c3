#include "plugin/send_path.h"

#include <atomic>

#include "config/SimpleLogger.h"
#include "config/wire.h"
#include "health/StatusMonitor.h"
#include "plugin/command.h"
#include "plugin/session_maps.h"
#include "rest/rest_driver.h"
#include "xtc/envelope.h"
#include "xtc/secret.h"
#include "xtc/xtc.h"

namespace {

// Written only by initialise and finalise; read by transport loops and status queries.
std::atomic<std::int32_t> s_plugin_state{PLUGIN_NOT_INITIALISED};
// Replaced at each initialisation while commands of other threads may still hold the old one.
std::atomic<std::shared_ptr<xtc::state_t>> s_xtc_state;

constexpr std::size_t OPEN_RESPONSE_SIZE = xtc::open_rsp_v1::SIZE;

// Runs the open exchange on the command's tunnel copy; the copy is open when this returns 0.
std::uint32_t do_xtc_open(xtc::state_t& state, const xtc::tunnel_handle& tunnel,
                          const app_id_t& app_id) {
    cmd_t open = make_cmd(app_id, tunnel->serial, ORVA_XTC_OPEN_REQ_V1, xtc::open_req_v1::SIZE,
                          OPEN_RESPONSE_SIZE);
    // The exchange's buffers carry the ephemeral point and the sealed tunnel key.
    xtc::buffer_wipe wipe_request(open.request);
    xtc::buffer_wipe wipe_response(open.response);
    xtc::open_exchange_t exchange;
    if (std::uint32_t rc = exchange.begin(state, tunnel, open.request); rc != RC_OK) {
        return rc;
    }
    if (std::uint32_t rc = rest_send(open); rc != RC_OK) {
        return rc;
    }
    return exchange.finish(state, tunnel, open.response);
}

// An empty reply to a keepalive means the service had nothing to say and is success.
bool is_empty_keepalive_reply(const cmd_t& cmd) {
    return cmd.code == ORVA_APP_SESSIONS_KEEPALIVE && cmd.response.empty();
}

std::uint32_t open_context(cmd_t& opener, cmd_t& cmd, std::size_t context_offset) {
    if (std::uint32_t rc = send_command(opener); rc != RC_OK) {
        return rc;
    }
    auto id = wire::get_u32(opener.response, response_layout::CONTEXT_ID);
    auto tag = wire::get_bytes(opener.response, response_layout::CONTEXT_TAG,
                               request_layout::CONTEXT_TAG_SIZE);
    if (!id || !tag) {
        return RC_BUFFER_TOO_SMALL;
    }
    const std::size_t tag_offset = context_offset + sizeof(std::uint32_t);
    if (!wire::put_u32(cmd.request, context_offset, *id) ||
        !wire::put_bytes(cmd.request, tag_offset, *tag)) {
        return RC_BUFFER_TOO_SMALL;
    }
    return RC_OK;
}

}  // namespace

std::int32_t plugin_state() { return s_plugin_state.load(); }

void set_plugin_state(std::int32_t state) { s_plugin_state.store(state); }

std::shared_ptr<xtc::state_t> xtc_state() { return s_xtc_state.load(); }

void set_xtc_state(std::shared_ptr<xtc::state_t> state) { s_xtc_state.store(std::move(state)); }

std::uint32_t send_command(cmd_t& cmd) {
    auto state = xtc_state();
    xtc::tunnel_handle tunnel = state ? xtc::get_tunnel_copy(*state, cmd.partition) : nullptr;
    if (!tunnel) {
        return ORVA_RET_XTC_ERROR;
    }
    if (cmd.partition == 0) {
        cmd.partition = tunnel->serial;
    }
    if (tunnel->state == xtc::TUNNEL_DISABLED) {
        return 1;
    }
    if (tunnel->state == xtc::TUNNEL_NOT_OPEN) {
        if (std::uint32_t rc = do_xtc_open(*state, tunnel, cmd.app_id); rc != RC_OK) {
            return rc;
        }
    }
    if (!xtc::wrap(cmd.request, tunnel)) {
        return ORVA_RET_XTC_ERROR;
    }
    if (std::uint32_t rc = rest_send(cmd); rc != RC_OK) {
        StatusMonitor::setOffline(cmd.partition);
        return rc;
    }
    if (is_empty_keepalive_reply(cmd)) {
        return RC_OK;
    }
    if (!xtc::unwrap(cmd.response, tunnel)) {
        return ORVA_RET_XTC_ERROR;
    }
    auto result = wire::get_u32(cmd.response, response_layout::RESULT);
    if (!result) {
        return ORVA_RET_XTC_ERROR;
    }
    if (*result != RC_OK) {
        return *result;
    }
    StatusMonitor::setOnline(cmd.partition);
    return RC_OK;
}

std::uint32_t send_context_bound(cmd_t& cmd, std::uint32_t session, std::size_t context_offset) {
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t opener = make_session_cmd<open_context_session_req_t, open_context_session_rsp_t>(
        cmd.app_id, partition, session, 0, 0);
    if (std::uint32_t rc = open_context(opener, cmd, context_offset); rc != RC_OK) {
        return rc;
    }
    return send_command(cmd);
}

std::uint32_t send_context_bound_sessionless(cmd_t& cmd, std::size_t context_offset) {
    cmd_t opener =
        make_sessionless_cmd<open_context_sessionless_req_t, open_context_sessionless_rsp_t>(
            cmd.app_id, cmd.partition, 0, 0);
    opener.session = cmd.session;  // names the same session to the transport as the command
    if (std::uint32_t rc = open_context(opener, cmd, context_offset); rc != RC_OK) {
        return rc;
    }
    return send_command(cmd);
}

bool is_retryable(std::uint32_t code) {
    return code == RC_RETRY || code == ORVA_RET_CONTEXT_INVALID;
}

void log_sequence_retry() {
    if (SimpleLogger::logLevel() <= SimpleLogger::debug) {
        SimpleLogger(SimpleLogger::debug)() << "Retrying command sequence.";
    }
}

std::uint32_t give_up_after_retries(std::uint32_t last_code) {
    const bool lost_context = last_code == ORVA_RET_CONTEXT_INVALID;
    if (SimpleLogger::logLevel() <= SimpleLogger::warning) {
        SimpleLogger(SimpleLogger::warning)()
            << (lost_context ? "Too many retries, giving up with CONTEXT_INVALID."
                             : "Too many retries, giving up with RC_BUSY.");
    }
    if (lost_context) {
        return ORVA_RET_CONTEXT_INVALID;
    }
    return last_code == RC_RETRY ? RC_BUSY : last_code;
}
