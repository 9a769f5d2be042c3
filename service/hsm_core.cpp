// The commands every client needs before any other: its application id, command contexts
// for state-changing commands, the firmware version that status probes ask for, and the
// keepalive of its application sessions.
#include <algorithm>

#include "service/hsm.h"

namespace service {
namespace {

// ORVA_GEN_APPID reply body: the id, then its length.
constexpr std::size_t APPID_RSP_ID = 0;
constexpr std::size_t APPID_RSP_LENGTH = 16;
constexpr std::size_t APPID_RSP_SIZE = 20;

// Open-context reply body: context id, then its tag.
constexpr std::size_t CONTEXT_RSP_ID = 0;
constexpr std::size_t CONTEXT_RSP_TAG = 4;

// ORVA_GET: the item is the first sessionless word; the reply is a length, then the data.
constexpr std::size_t GET_RSP_LENGTH = 0;
constexpr std::size_t GET_RSP_DATA = 4;

// Keepalive body: the client's container number, then its application id again.
constexpr std::size_t KEEPALIVE_APP_ID = 176;

std::uint32_t gen_appid(command_t& command) {
    auto id = command.hsm.apps().issue();
    if (!id) {
        return ORVA_RET_GENERAL_ERROR;
    }
    command.body.assign(APPID_RSP_SIZE, 0);
    put_bytes(command.body, APPID_RSP_ID, *id);
    put_u32(command.body, APPID_RSP_LENGTH, APP_ID_SIZE);
    return ORVA_RET_OK;
}

std::uint32_t open_context(command_t& command, context_kind kind) {
    const std::uint32_t session = kind == context_kind::session ? command.word0() : 0;
    auto context = command.partition.open_context(kind, session, command.app_id(), command.now);
    if (!context) {
        return ORVA_RET_GENERAL_ERROR;
    }
    command.body.assign(COMMAND_CONTEXT_SIZE, 0);
    put_u32(command.body, CONTEXT_RSP_ID, context->id);
    put_bytes(command.body, CONTEXT_RSP_TAG, context->tag);
    return ORVA_RET_OK;
}

std::uint32_t get(command_t& command) {
    const auto* reader = command.hsm.commands().find_get_item(command.word0());
    if (reader == nullptr) {
        return ORVA_RET_DATA_INVALID;
    }
    auto data = (*reader)(command);
    if (!data) {
        return ORVA_RET_DATA_INVALID;
    }
    command.body.assign(GET_RSP_DATA + data->size(), 0);
    put_u32(command.body, GET_RSP_LENGTH, static_cast<std::uint32_t>(data->size()));
    put_bytes(command.body, GET_RSP_DATA, *data);
    return ORVA_RET_OK;
}

// An unknown application id means its sessions are gone (never issued here, or forgotten):
// the client then stops sending keepalives to this partition.
std::uint32_t keepalive(command_t& command) {
    const auto app = command.app_id();
    auto repeated = get_bytes(command.request, KEEPALIVE_APP_ID, APP_ID_SIZE);
    if (!std::equal(app.begin(), app.end(), repeated.begin(), repeated.end())) {
        return ORVA_RET_ARGUMENTS_BAD;
    }
    if (!command.hsm.apps().known(app)) {
        return ORVA_RET_SM_BAD_ACCESS_HANDLE;
    }
    command.empty_reply = command.hsm.options().empty_keepalive_reply;
    return ORVA_RET_OK;
}

}  // namespace

void register_core_commands(command_table& table) {
    table.add(ORVA_GEN_APPID, gen_appid);
    table.add(ORVA_OPEN_CONTEXT_SESSION,
              [](command_t& command) { return open_context(command, context_kind::session); });
    table.add(ORVA_OPEN_CONTEXT_SESSIONLESS,
              [](command_t& command) { return open_context(command, context_kind::sessionless); });
    table.add(ORVA_GET, get);
    table.add(ORVA_APP_SESSIONS_KEEPALIVE, keepalive);
    table.add_get_item(ORVA_GT_FWV, [](command_t& command) -> std::optional<bytes> {
        return command.hsm.options().firmware_version;
    });
}

}  // namespace service
