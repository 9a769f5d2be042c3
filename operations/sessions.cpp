#include "operations/sessions.h"

#include "config/codes.h"
#include "config/wire.h"
#include "operations/common.h"
#include "operations/search_contexts.h"
#include "plugin/command.h"
#include "plugin/send_path.h"
#include "plugin/session_maps.h"

namespace {

// Commands without a session yet name session 1 to the transport's session header.
constexpr std::uint32_t NO_SESSION_YET = 1;

namespace open_session_layout {
constexpr std::size_t REQUEST_SIZE = 216;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t CONTAINER = 172;
constexpr std::size_t APP_ID = 196;
constexpr std::size_t FLAGS = 212;
constexpr std::size_t NEW_SESSION = 76;  // response
}  // namespace open_session_layout

// ORVA_CLOSE_SESSION and ORVA_LOGOUT: the session and the command context, nothing else.
namespace session_step_layout {
constexpr std::size_t REQUEST_SIZE = 200;
constexpr std::size_t RESPONSE_SIZE = 80;
}  // namespace session_step_layout

namespace close_all_layout {
constexpr std::size_t REQUEST_SIZE = 216;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t CONTAINER = 172;
constexpr std::size_t APP_ID = 196;
}  // namespace close_all_layout

// ORVA_CLEAN_ACCESS and ORVA_CLOSE_ACCESS.
namespace access_layout {
constexpr std::size_t REQUEST_SIZE = 192;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t CONTAINER = 172;
constexpr std::size_t APP_ID = 176;
}  // namespace access_layout

namespace session_info_layout {
constexpr std::size_t REQUEST_SIZE = 176;
constexpr std::size_t RESPONSE_SIZE = 112;
constexpr std::size_t WORD1 = 96;
constexpr std::size_t WORD2 = 100;
constexpr std::size_t WORD3 = 104;
}  // namespace session_info_layout

// The five operation context maps besides the search, in the order a close clears them.
session_table<saved_context_t>* const OPERATION_CONTEXT_MAPS[] = {
    &s_decrypt_context_map, &s_encrypt_context_map, &s_digest_context_map,
    &s_sign_context_map,    &s_verify_context_map,
};

// Each map under its own lock, one after the other, never two at once.
void forget_saved_contexts(std::uint32_t session) {
    ops::forget_search(session);
    for (auto* contexts : OPERATION_CONTEXT_MAPS) {
        contexts->erase(session);
    }
}

void forget_closed_session(std::uint32_t session) {
    s_session_partition_map.erase(session);
    forget_saved_contexts(session);
}

// Sessions on other partitions stay open in the HSM, so the host keeps using them.
void forget_partition_sessions(std::uint64_t partition) {
    std::vector<std::uint32_t> closed;
    s_session_partition_map.erase_if([&](std::uint32_t session, std::uint64_t owner) {
        if (owner != partition) {
            return false;
        }
        closed.push_back(session);
        return true;
    });
    // Only the contexts now: a handle the HSM reused meanwhile keeps its new partition entry.
    for (std::uint32_t session : closed) {
        forget_saved_contexts(session);
    }
}

std::uint32_t open_session_once(std::uint32_t flags, std::uint32_t container,
                                std::uint32_t* session_out) {
    namespace layout = open_session_layout;
    const std::uint64_t partition = ops::container_to_partition(container);
    if (partition == 0) {
        return RC_SLOT_ID_INVALID;
    }
    cmd_t cmd = ops::build_command(partition, ORVA_OPEN_SESSION, ops::MULTIPART | ops::MUTATES,
                                   layout::REQUEST_SIZE, layout::RESPONSE_SIZE);
    cmd.session = NO_SESSION_YET;
    ops::put_u32(cmd, layout::CONTAINER, container);
    ops::put_bytes(cmd, layout::APP_ID, cmd.app_id);
    ops::put_u32(cmd, layout::FLAGS, flags);
    if (std::uint32_t rc = send_context_bound_sessionless(cmd); rc != RC_OK) {
        return rc;
    }
    auto session = wire::get_u32(cmd.response, layout::NEW_SESSION);
    if (!session) {
        return ops::REPLY_TOO_SHORT;
    }
    *session_out = *session;
    s_session_partition_map.insert_or_assign(*session, partition);
    return RC_OK;
}

// ORVA_CLOSE_SESSION or ORVA_LOGOUT: a context-bound command with no body of its own.
std::uint32_t send_session_step(std::uint32_t code, std::uint32_t session) {
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd = ops::build_session_command(partition, session, code, ops::MULTIPART | ops::MUTATES,
                                           session_step_layout::REQUEST_SIZE,
                                           session_step_layout::RESPONSE_SIZE);
    return send_context_bound(cmd, session);
}

std::uint32_t close_session_once(std::uint32_t session) {
    if (std::uint32_t rc = send_session_step(ORVA_CLOSE_SESSION, session); rc != RC_OK) {
        return rc;
    }
    forget_closed_session(session);
    return RC_OK;
}

std::uint32_t close_all_sessions_once(std::uint32_t container) {
    namespace layout = close_all_layout;
    const std::uint64_t partition = ops::container_to_partition(container);
    if (partition == 0) {
        return RC_SLOT_ID_INVALID;
    }
    cmd_t cmd =
        ops::build_command(partition, ORVA_CLOSE_ALL_SESSIONS, ops::MULTIPART | ops::MUTATES,
                           layout::REQUEST_SIZE, layout::RESPONSE_SIZE);
    cmd.session = NO_SESSION_YET;
    ops::put_u32(cmd, layout::CONTAINER, container);
    ops::put_bytes(cmd, layout::APP_ID, cmd.app_id);
    const std::uint32_t rc = send_context_bound_sessionless(cmd);
    if (rc == ORVA_RET_SM_ACCESS_ID_INVALID) {
        return RC_OK;  // this application holds no access there: nothing was open
    }
    if (rc != RC_OK) {
        return rc;
    }
    // The HSM closed this application's sessions on that partition.
    forget_partition_sessions(partition);
    return RC_OK;
}

// ORVA_CLEAN_ACCESS or ORVA_CLOSE_ACCESS, sent once.
std::uint32_t send_access_command(std::uint32_t code, std::uint32_t container) {
    namespace layout = access_layout;
    const std::uint64_t partition = ops::container_to_partition(container);
    if (partition == 0) {
        return RC_SLOT_ID_INVALID;
    }
    cmd_t cmd = ops::build_command(partition, code, ops::MUTATES, layout::REQUEST_SIZE,
                                   layout::RESPONSE_SIZE);
    ops::put_u32(cmd, layout::CONTAINER, container);
    ops::put_bytes(cmd, layout::APP_ID, cmd.app_id);
    return send_command(cmd);
}

void write_if_given(std::uint32_t* out, std::uint32_t value) {
    if (out != nullptr) {
        *out = value;
    }
}

}  // namespace

std::uint32_t open_session(void*, std::uint32_t flags, std::uint32_t container,
                           std::uint32_t* session_out, std::uint64_t) {
    if (session_out == nullptr) {
        return RC_POINTER_INVALID;
    }
    return automated_retry([&] { return open_session_once(flags, container, session_out); },
                           SEQUENCE_ATTEMPTS);
}

std::uint32_t close_session(void*, std::uint32_t session) {
    return automated_retry([&] { return close_session_once(session); }, SEQUENCE_ATTEMPTS);
}

std::uint32_t close_all_sessions(void*, std::uint32_t container, void*) {
    return automated_retry([&] { return close_all_sessions_once(container); }, SEQUENCE_ATTEMPTS);
}

std::uint32_t clean_access(void*, std::uint32_t container) {
    return send_access_command(ORVA_CLEAN_ACCESS, container);
}

std::uint32_t close_application_id(void*, std::uint32_t, std::uint32_t container) {
    return send_access_command(ORVA_CLOSE_ACCESS, container);
}

std::uint32_t logout(void*, std::uint32_t session) {
    return automated_retry([&] { return send_session_step(ORVA_LOGOUT, session); },
                           SEQUENCE_ATTEMPTS);
}

std::uint32_t get_session_info(void*, std::uint32_t session, api_session_info* info_out,
                               std::uint32_t* container_out, std::uint32_t* word1_out,
                               std::uint32_t* word2_out, std::uint32_t* word3_out) {
    namespace layout = session_info_layout;
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd = ops::build_session_command(partition, session, ORVA_GET_SESSION_INFO, ops::NO_FLAGS,
                                           layout::REQUEST_SIZE, layout::RESPONSE_SIZE);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    auto word1 = wire::get_u32(cmd.response, layout::WORD1);
    auto word2 = wire::get_u32(cmd.response, layout::WORD2);
    auto word3 = wire::get_u32(cmd.response, layout::WORD3);
    if (!word1 || !word2 || !word3) {
        return ops::REPLY_TOO_SHORT;
    }
    if (info_out != nullptr) {
        *info_out = api_session_info{};
    }
    if (container_out != nullptr) {
        *container_out = ops::partition_to_container(session_to_partition(session));
    }
    write_if_given(word1_out, *word1);
    write_if_given(word2_out, *word2);
    write_if_given(word3_out, *word3);
    return RC_OK;
}
