#pragma once
// Shared pieces of the tunnel tests: the independent vectors, keys built from their scalars,
// and deterministic replacements for the clock, the random source and the ephemeral key.

#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "xtc/seams.h"
#include "xtc/xtc.h"

namespace xtc_test {

using bytes = std::vector<std::uint8_t>;

bytes hex(std::string_view text);
/// The parsed tunnel-vectors.json.
const nlohmann::json& vectors();
bytes hex_at(const nlohmann::json& node, const char* name);

/// An EC P-384 key from an uncompressed point, with the private scalar ("0x..." hex) if given.
xtc::pkey_handle ec_key(const bytes& public_point, std::string_view private_scalar = {});

/// An open tunnel with the given key and token, its counter at `next_sequence`.
xtc::tunnel_handle open_tunnel(const bytes& key, const bytes& token, std::uint64_t timeout = 0,
                               std::uint64_t next_sequence = 0);

/// Replaces the clock, random source and ephemeral key for the life of the object.
/// Random requests are answered from `random_blocks` in order (each must match the size
/// asked for); with none left the source fails.
class fixed_hooks {
  public:
    fixed_hooks();
    ~fixed_hooks();
    fixed_hooks(const fixed_hooks&) = delete;
    fixed_hooks& operator=(const fixed_hooks&) = delete;

    static inline std::uint64_t now = 0;
    static inline std::deque<bytes> random_blocks;
    static inline xtc::pkey_handle ephemeral;

  private:
    xtc::testing::hooks_t saved_;
};

}  // namespace xtc_test
