#pragma once
// The HSM command envelope: header layout, the application id and the command builders.

#include <cstddef>
#include <cstdint>

#include "config/wire.h"
#include "rest/cmd.h"

/// Request offsets. Bytes before COMMAND_HEADER belong to the transport and the tunnel.
namespace request_layout {
inline constexpr std::size_t COMMAND_HEADER = 136;
inline constexpr std::size_t CODE = 136;
inline constexpr std::size_t PROTOCOL_LEVEL = 140;
inline constexpr std::size_t APP_ID = 144;
inline constexpr std::size_t RESERVED = 160;  // three words, always zero
inline constexpr std::size_t SESSION = 172;   // or the first body word of sessionless commands
inline constexpr std::size_t SESSIONLESS_BODY = 172;
inline constexpr std::size_t SESSION_BODY = 176;
inline constexpr std::size_t HEADER_SIZE = 176;
// Context-bound commands carry the command context right after the session word.
inline constexpr std::size_t CONTEXT_ID = 176;
inline constexpr std::size_t CONTEXT_TAG = 180;
inline constexpr std::size_t CONTEXT_TAG_SIZE = 16;
inline constexpr std::size_t CONTEXT_BODY = 196;
}  // namespace request_layout

/// Response offsets, after the tunnel has opened the reply.
namespace response_layout {
inline constexpr std::size_t SEQUENCE = 64;
inline constexpr std::size_t RESULT = 72;
inline constexpr std::size_t BODY = 76;
// Information replies: a data length, then the data.
inline constexpr std::size_t GET_LENGTH = 76;
inline constexpr std::size_t GET_DATA = 80;
// Open-context replies: the command context.
inline constexpr std::size_t CONTEXT_ID = 76;
inline constexpr std::size_t CONTEXT_TAG = 80;
inline constexpr std::size_t CONTEXT_END = 96;
}  // namespace response_layout

/// Carried in every command header.
inline constexpr std::uint32_t PROTOCOL_LEVEL = 23;

/// This plug-in instance's application id: zero until start-up obtains one.
app_id_t current_app_id();
void set_app_id(const app_id_t& app_id);

/// A zero-filled command with its header written: code, protocol level, application id.
/// Sizes are rounded up to a multiple of 8.
cmd_t make_cmd(const app_id_t& app_id, std::uint64_t partition, std::uint32_t code,
               std::size_t request_size, std::size_t response_size);

// Request and reply shapes of the three builder instantiations.
struct get_req_t {
    static constexpr std::uint32_t code = 0x02;  // ORVA_GET
    static constexpr std::size_t header = 176;
    static constexpr bool multipart = false;
};
struct get_rsp_t {
    static constexpr std::size_t header = 80;
};
struct open_context_sessionless_req_t {
    static constexpr std::uint32_t code = 0x10B;  // ORVA_OPEN_CONTEXT_SESSIONLESS
    static constexpr std::size_t header = 172;
    static constexpr bool multipart = true;
};
struct open_context_sessionless_rsp_t {
    static constexpr std::size_t header = 96;
};
struct open_context_session_req_t {
    static constexpr std::uint32_t code = 0x10A;  // ORVA_OPEN_CONTEXT_SESSION
    static constexpr std::size_t header = 176;
    static constexpr bool multipart = true;
};
struct open_context_session_rsp_t {
    static constexpr std::size_t header = 96;
};

/// A sessionless command for a body of `body` bytes and a reply payload of `payload` bytes.
template <typename Req, typename Rsp>
cmd_t make_sessionless_cmd(const app_id_t& app_id, std::uint64_t partition, std::size_t body,
                           std::size_t payload) {
    cmd_t cmd = make_cmd(app_id, partition, Req::code, body + Req::header, payload + Rsp::header);
    cmd.multipart_request = Req::multipart;
    return cmd;
}

/// A session command: as above, with the session handle in the header.
template <typename Req, typename Rsp>
cmd_t make_session_cmd(const app_id_t& app_id, std::uint64_t partition, std::uint32_t session,
                       std::size_t body, std::size_t payload) {
    cmd_t cmd = make_sessionless_cmd<Req, Rsp>(app_id, partition, body, payload);
    cmd.session = session;
    wire::put_u32(cmd.request, request_layout::SESSION, session);
    return cmd;
}

/// The result word of an unwrapped reply, or `fallback` when the reply is too short to hold one.
std::uint32_t response_result(const cmd_t& cmd, std::uint32_t fallback);
