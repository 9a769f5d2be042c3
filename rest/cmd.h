#pragma once
// One HSM command in flight: what the send path builds and the transport carries.

#include <array>
#include <cstdint>
#include <vector>

/// The 16-byte application id the service hands out at start-up.
using app_id_t = std::array<std::uint8_t, 16>;

struct cmd_t {
    app_id_t app_id{};
    /// Session-bound step of a multi-part exchange: the transport names the session.
    bool multipart_request = false;
    /// State-changing command: the transport says so in a header.
    bool mutates_object = false;
    /// Target partition serial; 0 means the default partition until the send path resolves it.
    std::uint64_t partition = 0;
    std::uint32_t session = 0;
    std::uint32_t code = 0;
    /// Item code of an information request; only named in the request headers.
    std::uint32_t subcode = 0;
    /// The whole request: transport prefix, tunnel envelope, command header and body.
    std::vector<std::uint8_t> request;
    /// Sized for the largest reply accepted; after a successful transport exactly the reply.
    std::vector<std::uint8_t> response;
};
