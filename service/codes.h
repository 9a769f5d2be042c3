#pragma once
// The service's own names for the codes and message layouts it speaks: HSM command codes,
// result words, tunnel message types and the offsets of every field it reads or writes.
// Offsets are from the start of the HTTP body, as the client lays the message out.

#include <cstddef>
#include <cstdint>

namespace service {

// HSM command codes.
constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t ORVA_LOGOUT = 0x0E;
constexpr std::uint32_t ORVA_CREATE_OBJECT = 0x0F;
constexpr std::uint32_t ORVA_COPY_OBJECT = 0x10;
constexpr std::uint32_t ORVA_DESTROY_OBJECT = 0x11;
constexpr std::uint32_t ORVA_MODIFY_OBJECT = 0x15;
constexpr std::uint32_t ORVA_GENERATE_KEY = 0x17;
constexpr std::uint32_t ORVA_GENERATE_KEY_PAIR = 0x19;
constexpr std::uint32_t ORVA_UNWRAP_KEY = 0x1B;
constexpr std::uint32_t ORVA_DERIVE_KEY = 0x1D;
constexpr std::uint32_t ORVA_OPEN_SESSION = 0x24;
constexpr std::uint32_t ORVA_CLOSE_ALL_SESSIONS = 0x25;
constexpr std::uint32_t ORVA_CLOSE_SESSION = 0x26;
constexpr std::uint32_t ORVA_SET_CONTAINER_POLICY = 0x73;
constexpr std::uint32_t ORVA_PARTITION_ZEROIZE = 0xE2;
constexpr std::uint32_t ORVA_XTC_REQ_V1 = 0x102;
constexpr std::uint32_t ORVA_XTC_RSP_V1 = 0x103;
constexpr std::uint32_t ORVA_XTC_OPEN_REQ_V1 = 0x106;
constexpr std::uint32_t ORVA_XTC_OPEN_RSP_V1 = 0x107;
constexpr std::uint32_t ORVA_GEN_APPID = 0x108;
constexpr std::uint32_t ORVA_APP_SESSIONS_KEEPALIVE = 0x109;
constexpr std::uint32_t ORVA_OPEN_CONTEXT_SESSION = 0x10A;
constexpr std::uint32_t ORVA_OPEN_CONTEXT_SESSIONLESS = 0x10B;

// ORVA_GET items.
constexpr std::uint32_t ORVA_GT_FWV = 0x0D;

// HSM result words.
constexpr std::uint32_t ORVA_RET_OK = 0;
constexpr std::uint32_t ORVA_RET_GENERAL_ERROR = 0x50000;
constexpr std::uint32_t ORVA_RET_ARGUMENTS_BAD = 0x70000;
constexpr std::uint32_t ORVA_RET_DATA_INVALID = 0x200000;
constexpr std::uint32_t ORVA_RET_UNKNOWN_COMMAND = 0x300001;
constexpr std::uint32_t ORVA_RET_BUFFER_TOO_SMALL = 0x01500000;
constexpr std::uint32_t ORVA_RET_SM_BAD_ACCESS_HANDLE = 0x80000404;
constexpr std::uint32_t ORVA_RET_XTC_ERROR = 0x80001600;
constexpr std::uint32_t ORVA_RET_CONTEXT_INVALID = 0x80001601;

/// The protocol level every command header carries.
constexpr std::uint32_t PROTOCOL_LEVEL = 23;

// Transport prefix: four words in front of every request.
constexpr std::size_t PREFIX_SIZE = 16;
constexpr std::size_t PREFIX_REPLY_LIMIT = 0;

// Tunnel envelope of a request.
constexpr std::size_t REQ_TYPE = 16;
constexpr std::size_t REQ_LENGTH = 20;
constexpr std::size_t REQ_TOKEN = 24;
constexpr std::size_t REQ_IV = 88;
constexpr std::size_t REQ_TAG = 104;
constexpr std::size_t REQ_EXPIRY = 120;
constexpr std::size_t REQ_SEQUENCE = 128;
constexpr std::size_t REQ_AAD = 16;
constexpr std::size_t REQ_AAD_SIZE = 72;
constexpr std::size_t REQ_ENCRYPTED = 120;

// HSM command header and the first body words.
constexpr std::size_t CMD_CODE = 136;
constexpr std::size_t CMD_LEVEL = 140;
constexpr std::size_t CMD_APP_ID = 144;
constexpr std::size_t CMD_RESERVED = 160;
constexpr std::size_t CMD_WORD0 = 172;  // session handle, container, or first sessionless word
constexpr std::size_t CMD_WORD1 = 176;  // session commands: first body word
constexpr std::size_t CMD_HEADER_END = 176;
constexpr std::size_t CMD_CONTEXT_ID = 0;   // within a command context
constexpr std::size_t CMD_CONTEXT_TAG = 4;  // within a command context
constexpr std::size_t COMMAND_CONTEXT_SIZE = 20;

// Open exchange request.
constexpr std::size_t OPEN_REQ_SIZE = 312;
constexpr std::size_t OPEN_REQ_POINT = 176;
constexpr std::size_t OPEN_REQ_POINT_CAPACITY = 104;
constexpr std::size_t OPEN_REQ_NONCE = 280;
constexpr std::size_t OPEN_REQ_POINT_LENGTH = 296;
constexpr std::size_t OPEN_REQ_NONCE_LENGTH = 300;
constexpr std::size_t OPEN_REQ_SERIAL = 304;

// Open exchange response.
constexpr std::size_t OPEN_RSP_SIZE = 224;
constexpr std::size_t OPEN_RSP_TYPE = 16;
constexpr std::size_t OPEN_RSP_STATUS = 24;
constexpr std::size_t OPEN_RSP_SEALED = 76;
constexpr std::size_t OPEN_RSP_SEALED_SIZE = 112;
constexpr std::size_t OPEN_RSP_TOKEN = 76;
constexpr std::size_t OPEN_RSP_KEY = 140;
constexpr std::size_t OPEN_RSP_TOKEN_LENGTH = 172;
constexpr std::size_t OPEN_RSP_KEY_LENGTH = 176;
constexpr std::size_t OPEN_RSP_TAG = 188;
constexpr std::size_t OPEN_RSP_IV = 204;

// Protected reply.
constexpr std::size_t RSP_TYPE = 16;
constexpr std::size_t RSP_LENGTH = 20;
constexpr std::size_t RSP_STATUS = 24;
constexpr std::size_t RSP_IV = 32;
constexpr std::size_t RSP_TAG = 48;
constexpr std::size_t RSP_AAD = 16;
constexpr std::size_t RSP_AAD_SIZE = 16;
constexpr std::size_t RSP_ENCRYPTED = 64;
constexpr std::size_t RSP_SEQUENCE = 64;
constexpr std::size_t RSP_RESULT = 72;
constexpr std::size_t RSP_BODY = 76;

// Sizes of tunnel material.
constexpr std::size_t TOKEN_SIZE = 64;
constexpr std::size_t TUNNEL_KEY_SIZE = 32;
constexpr std::size_t GCM_IV_SIZE = 16;
constexpr std::size_t GCM_TAG_SIZE = 16;
constexpr std::size_t NONCE_SIZE = 16;
constexpr std::size_t APP_ID_SIZE = 16;
constexpr std::size_t P384_POINT_SIZE = 97;
constexpr std::size_t P384_SECRET_SIZE = 48;

}  // namespace service
