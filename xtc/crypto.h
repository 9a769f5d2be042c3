#pragma once
// Cryptographic primitives of the tunnel: EC keys and ECDH on P-384, the concatenation KDF,
// AES-256-GCM with 16-byte IVs and tags, random bytes and wiping.
// OpenSSL headers stay in crypto.cpp; keys travel as the shared handles of cert.h.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "xtc/cert.h"

namespace xtc {

inline constexpr const char* XTC_CURVE = "secp384r1";
inline constexpr std::size_t ECDH_SECRET_SIZE = 48;  // X coordinate on P-384
inline constexpr std::size_t NONCE_SIZE = 16;
inline constexpr std::size_t XTC_KEY_SIZE = 32;
inline constexpr std::size_t GCM_IV_SIZE = 16;
inline constexpr std::size_t GCM_TAG_SIZE = 16;

/// Failures of decrypt_gcm and encrypt_gcm, in the order of the cipher steps.
enum gcm_error : int {
    GCM_NO_CONTEXT = -1,
    GCM_SETUP_FAILED = -2,
    GCM_IV_LENGTH_REJECTED = -3,
    GCM_KEY_IV_REJECTED = -4,
    GCM_AAD_REJECTED = -5,
    GCM_UPDATE_FAILED = -6,
    GCM_TAG_REJECTED = -7,
    GCM_FINAL_FAILED = -8,  // for decryption: the tag did not authenticate the data
};

/// A fresh key pair on the named curve, or null.
pkey_handle create_ec_key(const char* curve);

/// Writes ECDH(own private, peer public) to `out` and returns its length; 0 on any failure or
/// when the secret would not fit `capacity`.
std::size_t do_ecdh(const pkey_handle& peer, const pkey_handle& own, std::uint8_t* out,
                    std::size_t capacity) noexcept;

/// Receives consecutive pieces of the KDF input; false aborts.
using kdf_sink = std::function<bool(std::span<const std::uint8_t>)>;

/// Feeds each field as its 4-byte big-endian length followed by its bytes; an empty field is
/// the length 0 followed by one zero byte.
bool concat_nist_kdf(std::span<const std::span<const std::uint8_t>> fields, const kdf_sink& sink);

/// The KDF input of the open exchange, piece by piece (exposed so it can be checked exactly).
bool xtc_kdf_input(const std::uint8_t* secret, std::size_t secret_length, const std::uint8_t* nonce,
                   std::size_t nonce_length, std::uint64_t serial, const kdf_sink& sink);

/// SHA-256 over xtc_kdf_input into `out` (32 bytes); returns 32, or a negative number.
int xtc_kdf(const std::uint8_t* secret, std::size_t secret_length, const std::uint8_t* nonce,
            std::size_t nonce_length, std::uint64_t serial, std::uint8_t* out) noexcept;

/// AES-256-GCM with a 16-byte IV and tag; `out` may equal `ciphertext`. Returns the plaintext
/// length or a gcm_error. Additional data is only processed when `aad_length` is at least 1.
int decrypt_gcm(const std::uint8_t* ciphertext, int length, const std::uint8_t* aad, int aad_length,
                const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out,
                const std::uint8_t* tag) noexcept;

/// The counterpart of decrypt_gcm; writes the 16-byte tag to `tag`.
int encrypt_gcm(const std::uint8_t* plaintext, int length, const std::uint8_t* aad, int aad_length,
                const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out,
                std::uint8_t* tag) noexcept;

/// Cryptographically strong random bytes; false when the generator fails.
bool random_bytes(std::span<std::uint8_t> out) noexcept;

/// Seconds since 1970 from the system clock.
std::uint64_t system_clock_seconds() noexcept;

/// Overwrites with zeros in a way the compiler may not drop.
void cleanse(std::span<std::uint8_t> bytes) noexcept;

}  // namespace xtc
