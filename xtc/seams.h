#pragma once
// The clock, the random source and the ephemeral key of the tunnel, reached through function
// pointers so that tests can make wrapping and the open exchange deterministic. Production
// code never changes them.

#include <cstdint>
#include <span>

#include "xtc/cert.h"

namespace xtc::testing {

struct hooks_t {
    std::uint64_t (*clock)();                         // seconds since 1970
    bool (*random)(std::span<std::uint8_t> out);      // fills `out`, false on failure
    pkey_handle (*ephemeral_key)(const char* curve);  // key pair of one open exchange
};

/// Defaults: system_clock_seconds, random_bytes, create_ec_key. Set only while no command runs.
extern hooks_t hooks;

}  // namespace xtc::testing
