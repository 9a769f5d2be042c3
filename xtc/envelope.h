#pragma once
// Byte layouts of the tunnel messages. All integers are little-endian. Offsets count from the
// start of the buffer, whose first 16 bytes are the transport prefix of the REST driver.

#include <cstddef>

namespace xtc {

/// Protected request (type 0x102), and the clear header of the open request (type 0x106).
namespace req_v1 {
inline constexpr std::size_t TYPE = 16;
inline constexpr std::size_t LENGTH = 20;  // buffer size less ENCRYPTED
inline constexpr std::size_t TOKEN = 24;
inline constexpr std::size_t IV = 88;
inline constexpr std::size_t TAG = 104;
inline constexpr std::size_t EXPIRY = 120;
inline constexpr std::size_t SEQUENCE = 128;
inline constexpr std::size_t COMMAND = 136;  // HSM command header, then the body
inline constexpr std::size_t AAD = TYPE;
inline constexpr std::size_t AAD_SIZE = IV - TYPE;  // type, length and token
inline constexpr std::size_t ENCRYPTED = EXPIRY;    // everything from here to the end
}  // namespace req_v1

/// Protected response (type 0x103).
namespace rsp_v1 {
inline constexpr std::size_t TYPE = 16;
inline constexpr std::size_t LENGTH = 20;  // signed: length of the encrypted part
inline constexpr std::size_t STATUS = 24;
inline constexpr std::size_t AAD = TYPE;
inline constexpr std::size_t AAD_SIZE = 16;
inline constexpr std::size_t IV = 32;
inline constexpr std::size_t TAG = 48;
inline constexpr std::size_t SEQUENCE = 64;  // first encrypted byte
inline constexpr std::size_t RESULT = 72;    // HSM result word
inline constexpr std::size_t BODY = 76;
inline constexpr std::size_t ENCRYPTED = SEQUENCE;
inline constexpr std::size_t MIN_ENCRYPTED = BODY - SEQUENCE;  // sequence and result word
}  // namespace rsp_v1

/// Open request (type 0x106): the clear header of req_v1, the command header, then these.
namespace open_req_v1 {
inline constexpr std::size_t SIZE = 312;
inline constexpr std::size_t POINT = 176;  // ephemeral public key, uncompressed, zero padded
inline constexpr std::size_t POINT_CAPACITY = 104;
inline constexpr std::size_t NONCE = 280;
inline constexpr std::size_t POINT_LENGTH = 296;
inline constexpr std::size_t NONCE_LENGTH = 300;
inline constexpr std::size_t SERIAL = 304;
}  // namespace open_req_v1

/// Open response (type 0x107).
namespace open_rsp_v1 {
inline constexpr std::size_t SIZE = 224;
inline constexpr std::size_t TYPE = 16;
inline constexpr std::size_t STATUS = 24;
inline constexpr std::size_t SEALED = 76;  // token, key and their lengths, encrypted
inline constexpr std::size_t SEALED_SIZE = 112;
inline constexpr std::size_t TOKEN = 76;
inline constexpr std::size_t KEY = 140;
inline constexpr std::size_t TOKEN_LENGTH = 172;
inline constexpr std::size_t KEY_LENGTH = 176;
inline constexpr std::size_t TAG = 188;
inline constexpr std::size_t IV = 204;
}  // namespace open_rsp_v1

}  // namespace xtc
