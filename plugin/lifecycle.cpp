#include "plugin/lifecycle.h"

#include <cstdio>

#include "config/codes.h"
#include "config/wire.h"
#include "health/Keepalive.h"
#include "health/StatusMonitor.h"
#include "plugin/boundary.h"
#include "config/code_names.h"
#include "plugin/command.h"
#include "plugin/local_slots.h"
#include "plugin/send_path.h"
#include "rest/plugin_state_source.h"
#include "rest/rest_driver.h"
#include "xtc/xtc.h"

namespace {

constexpr int SUPPORTED_VERSION = 1;

namespace gen_appid {
constexpr std::size_t REQUEST_SIZE = 176;
constexpr std::size_t RESPONSE_SIZE = 96;
constexpr std::size_t APP_ID = 76;
constexpr std::size_t LENGTH = 92;
}  // namespace gen_appid

namespace keepalive_layout {
constexpr std::size_t REQUEST_SIZE = 192;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t CONTAINER = 172;
constexpr std::size_t APP_ID = 176;
}  // namespace keepalive_layout

constexpr std::size_t PROBE_PAYLOAD = 8;  // reply of 88 bytes; its content is not used

template <auto Fn>
plugin_slot_t slot() {
    return reinterpret_cast<plugin_slot_t>(&boundary::guarded<Fn>::call);
}

std::uint32_t app_id_sequence() {
    cmd_t cmd = make_cmd(current_app_id(), 0, ORVA_GEN_APPID, gen_appid::REQUEST_SIZE,
                         gen_appid::RESPONSE_SIZE);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    auto length = wire::get_u32(cmd.response, gen_appid::LENGTH);
    auto id = wire::get_bytes(cmd.response, gen_appid::APP_ID, sizeof(app_id_t));
    if (!length || *length != sizeof(app_id_t) || !id) {
        return RC_BUFFER_TOO_SMALL;
    }
    app_id_t app_id;
    std::copy(id->begin(), id->end(), app_id.begin());
    set_app_id(app_id);
    return RC_OK;
}

// Health workers reach the partitions through the send path; they are told how once.
void wire_health_senders() {
    Keepalive::set_sender(send_keepalive);
    StatusMonitor::set_prober(send_status_probe);
}

}  // namespace

slot_table_t local_slot_table() {
    slot_table_t slots{};
    slots[0] = reinterpret_cast<plugin_slot_t>(&get_slot_count);
    slots[1] = slot<get_slot_info>();
    slots[2] = slot<delete_bytes>();
    slots[3] = slot<delete_integers>();
    slots[28] = slot<get_mofn_status>();
    slots[48] = slot<get_container_list>();
    slots[135] = slot<get_operation_status>();
    slots[136] = slot<get_protocol_level>();
    return slots;
}

std::uint32_t request_app_id() { return automated_retry(app_id_sequence, SEQUENCE_ATTEMPTS); }

std::uint32_t initialize_plugin(int version, plugin_slot_t* table, const slot_table_t& slots) {
    if (plugin_state() != PLUGIN_NOT_INITIALISED || version != SUPPORTED_VERSION ||
        table == nullptr) {
        std::fputs("Zarv: unable to initialize plugin.\n", stderr);
        return RC_GENERAL_ERROR;
    }
    set_plugin_state(PLUGIN_INITIALISING);
    std::copy(slots.begin(), slots.end(), table);
    set_plugin_state_source(plugin_state);  // transport loops give up when we finalise

    auto state = xtc::init();
    const bool tunnel_ready = static_cast<bool>(state);
    set_xtc_state(std::move(state));
    if (!tunnel_ready) {
        std::fputs("Zarv: unable to initialize XTC\n", stderr);
        return ORVA_RET_XTC_ERROR;
    }
    if (!rest_initialize()) {
        std::fputs("Zarv: unable to initialize REST connection\n", stderr);
        return ORVA_RET_GENERAL_ERROR;
    }
    if (std::uint32_t rc = request_app_id(); rc != RC_OK) {
        std::fprintf(stderr, "Zarv: unable to communicate with the service. Error code: %s (%08X)\n",
                     ResultCode(rc).AsString(), rc);
        return rc;
    }
    set_plugin_state(PLUGIN_RUNNING);
    wire_health_senders();
    Keepalive::start();
    StatusMonitor::start(xtc::serialNumberList(*xtc_state()));
    return RC_OK;
}

std::uint32_t finalize_plugin() {
    set_plugin_state(PLUGIN_FINALISING);
    Keepalive::stop();
    StatusMonitor::stop();
    if (!rest_finalize()) {
        return RC_GENERAL_ERROR;
    }
    set_plugin_state(PLUGIN_NOT_INITIALISED);
    return RC_OK;
}

std::uint32_t send_keepalive(std::uint64_t serial) {
    auto state = xtc_state();
    const std::uint32_t container = state ? xtc::serialNumberToContainer(*state, serial) : 0;
    const app_id_t app_id = current_app_id();
    cmd_t cmd = make_cmd(app_id, serial, ORVA_APP_SESSIONS_KEEPALIVE,
                         keepalive_layout::REQUEST_SIZE, keepalive_layout::RESPONSE_SIZE);
    cmd.mutates_object = true;
    wire::put_u32(cmd.request, keepalive_layout::CONTAINER, container);
    wire::put_bytes(cmd.request, keepalive_layout::APP_ID, app_id);
    return send_command(cmd);
}

std::uint32_t send_status_probe(std::uint64_t serial) {
    cmd_t cmd = make_sessionless_cmd<get_req_t, get_rsp_t>(current_app_id(), serial, 0,
                                                           PROBE_PAYLOAD);
    cmd.subcode = ORVA_GT_FWV;
    wire::put_u32(cmd.request, request_layout::SESSIONLESS_BODY, ORVA_GT_FWV);
    return send_command(cmd);
}
