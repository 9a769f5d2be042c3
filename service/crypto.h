#pragma once
// The tunnel's cryptography on the service side: ECDH on P-384 with the partition's key,
// the concatenation KDF that turns the shared secret into the open-exchange key, and
// AES-256-GCM with 16-byte IVs and tags. Every function reports failure by returning false.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "service/codes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace service::crypto {

using pkey_ptr = std::shared_ptr<EVP_PKEY>;
using tunnel_key_t = std::array<std::uint8_t, TUNNEL_KEY_SIZE>;

/// Overwrites secrets in a way the compiler may not drop.
void wipe(std::span<std::uint8_t> secret);

/// A fixed-size secret that is wiped when it goes out of scope.
template <std::size_t N>
struct secret_t {
    std::array<std::uint8_t, N> bytes{};
    secret_t() = default;
    secret_t(const secret_t&) = default;
    secret_t& operator=(const secret_t&) = default;
    ~secret_t() { wipe(bytes); }
    std::span<std::uint8_t, N> span() { return bytes; }
    std::span<const std::uint8_t, N> span() const { return bytes; }
};

bool random_bytes(std::span<std::uint8_t> out);

/// True when `key` is an EC key on P-384 holding a private part.
bool is_p384_private_key(const EVP_PKEY* key);

/// The X coordinate of own * peer, where `peer_point` is an uncompressed P-384 point.
/// False for a point that is not on the curve.
bool ecdh_p384(const EVP_PKEY* own, std::span<const std::uint8_t> peer_point,
               std::span<std::uint8_t, P384_SECRET_SIZE> shared);

/// The open-exchange key: one SHA-256 over the length-prefixed fields of the KDF.
bool tunnel_kdf(std::span<const std::uint8_t> shared, std::span<const std::uint8_t> nonce,
                std::uint64_t serial, std::span<std::uint8_t, TUNNEL_KEY_SIZE> key);

/// Encrypts `data` in place and writes the tag.
bool gcm_seal(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
              std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::span<const std::uint8_t> aad,
              std::span<std::uint8_t> data, std::span<std::uint8_t, GCM_TAG_SIZE> tag);

/// Decrypts `data` in place; false when the tag does not verify (data is then unusable).
bool gcm_open(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
              std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::span<const std::uint8_t> aad,
              std::span<std::uint8_t> data, std::span<const std::uint8_t, GCM_TAG_SIZE> tag);

}  // namespace service::crypto
