#include "xtc/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <climits>
#include <memory>

#include "xtc/seams.h"

namespace xtc {

namespace testing {
hooks_t hooks{&system_clock_seconds, &random_bytes, &create_ec_key};
}  // namespace testing

namespace {

using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// The KDF's fixed fields include the terminating zero byte of their text.
template <std::size_t N>
std::span<const std::uint8_t> text_with_nul(const char (&text)[N]) {
    return {reinterpret_cast<const std::uint8_t*>(text), N};
}

constexpr char KDF_ALGORITHM_ID[] = "A256GCM";
constexpr char KDF_PARTY_INFO[] = "XTC_OPEN_KDF v1.0";
constexpr int GCM_IV_LENGTH = static_cast<int>(GCM_IV_SIZE);
constexpr int GCM_TAG_LENGTH = static_cast<int>(GCM_TAG_SIZE);

template <std::size_t N>
std::array<std::uint8_t, N> big_endian(std::uint64_t value) {
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        bytes[N - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// Steps shared by both directions up to the additional data; 0 or a gcm_error.
int gcm_start(EVP_CIPHER_CTX* ctx, int encrypt, const std::uint8_t* aad, int aad_length,
              const std::uint8_t* key, const std::uint8_t* iv) {
    if (EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt) != 1) {
        return GCM_SETUP_FAILED;
    }
    // The IV length must be set before the IV is given, or OpenSSL uses 12 bytes of it.
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, GCM_IV_LENGTH, nullptr) != 1) {
        return GCM_IV_LENGTH_REJECTED;
    }
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, encrypt) != 1) {
        return GCM_KEY_IV_REJECTED;
    }
    int ignored = 0;
    if (aad_length >= 1 && EVP_CipherUpdate(ctx, nullptr, &ignored, aad, aad_length) != 1) {
        return GCM_AAD_REJECTED;
    }
    return 0;
}

// Argument checks shared by both directions; 0 or a gcm_error.
int gcm_check_arguments(const std::uint8_t* in, int length, const std::uint8_t* aad, int aad_length,
                        const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* out,
                        const std::uint8_t* tag) {
    if (key == nullptr || iv == nullptr) {
        return GCM_KEY_IV_REJECTED;
    }
    if (aad_length < 0 || (aad_length > 0 && aad == nullptr)) {
        return GCM_AAD_REJECTED;
    }
    if (length < 0 || (length > 0 && (in == nullptr || out == nullptr))) {
        return GCM_UPDATE_FAILED;
    }
    return tag == nullptr ? GCM_TAG_REJECTED : 0;
}

}  // namespace

pkey_handle create_ec_key(const char* curve) try {
    if (curve == nullptr) {
        return {};
    }
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_group_name(ctx.get(), curve) <= 0) {
        return {};
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) <= 0) {
        return {};
    }
    return pkey_handle(key, EVP_PKEY_free);
} catch (...) {
    return {};
}

std::size_t do_ecdh(const pkey_handle& peer, const pkey_handle& own, std::uint8_t* out,
                    std::size_t capacity) noexcept {
    if (!peer || !own || out == nullptr) {
        return 0;
    }
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr), EVP_PKEY_CTX_free);
    // Validating the peer rejects points off the curve before they are multiplied.
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
        EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) <= 0) {
        return 0;
    }
    std::size_t length = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) <= 0 || length == 0 || length > capacity) {
        return 0;
    }
    if (EVP_PKEY_derive(ctx.get(), out, &length) <= 0) {
        return 0;
    }
    return length;
}

bool concat_nist_kdf(std::span<const std::span<const std::uint8_t>> fields, const kdf_sink& sink) {
    static constexpr std::array<std::uint8_t, 1> EMPTY_FIELD{0};
    for (const auto& field : fields) {
        if (field.size() > UINT32_MAX) {
            return false;
        }
        const auto length = big_endian<4>(field.size());
        if (!sink(length) || !sink(field.empty() ? std::span(EMPTY_FIELD) : field)) {
            return false;
        }
    }
    return true;
}

bool xtc_kdf_input(const std::uint8_t* secret, std::size_t secret_length, const std::uint8_t* nonce,
                   std::size_t nonce_length, std::uint64_t serial, const kdf_sink& sink) {
    if ((secret == nullptr && secret_length > 0) || (nonce == nullptr && nonce_length > 0)) {
        return false;
    }
    const auto serial_bytes = big_endian<8>(serial);
    const std::array<std::span<const std::uint8_t>, 6> fields{
        std::span(secret, secret_length), text_with_nul(KDF_ALGORITHM_ID),
        std::span(nonce, nonce_length),   std::span<const std::uint8_t>(serial_bytes),
        text_with_nul(KDF_PARTY_INFO),    std::span<const std::uint8_t>(),
    };
    return concat_nist_kdf(fields, sink);
}

int xtc_kdf(const std::uint8_t* secret, std::size_t secret_length, const std::uint8_t* nonce,
            std::size_t nonce_length, std::uint64_t serial, std::uint8_t* out) noexcept try {
    if (out == nullptr) {
        return -1;
    }
    md_ctx_ptr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return -2;
    }
    const auto update = [&ctx](std::span<const std::uint8_t> piece) {
        return EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
    };
    if (!xtc_kdf_input(secret, secret_length, nonce, nonce_length, serial, update)) {
        return -3;
    }
    // One SHA-256 block of output is exactly the key length, so no counter is needed.
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &length) != 1 || length != XTC_KEY_SIZE) {
        return -4;
    }
    return static_cast<int>(length);
} catch (...) {
    return -5;
}

int decrypt_gcm(const std::uint8_t* ciphertext, int length, const std::uint8_t* aad, int aad_length,
                const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out,
                const std::uint8_t* tag) noexcept {
    if (int rc = gcm_check_arguments(ciphertext, length, aad, aad_length, key, iv, out, tag)) {
        return rc;
    }
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx) {
        return GCM_NO_CONTEXT;
    }
    if (int rc = gcm_start(ctx.get(), 0, aad, aad_length, key, iv)) {
        return rc;
    }
    int produced = 0;
    if (length > 0 && EVP_DecryptUpdate(ctx.get(), out, &produced, ciphertext, length) != 1) {
        return GCM_UPDATE_FAILED;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, GCM_TAG_LENGTH,
                            const_cast<std::uint8_t*>(tag)) != 1) {
        return GCM_TAG_REJECTED;
    }
    int last = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out == nullptr ? nullptr : out + produced, &last) != 1) {
        return GCM_FINAL_FAILED;
    }
    return produced + last;
}

int encrypt_gcm(const std::uint8_t* plaintext, int length, const std::uint8_t* aad, int aad_length,
                const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out,
                std::uint8_t* tag) noexcept {
    if (int rc = gcm_check_arguments(plaintext, length, aad, aad_length, key, iv, out, tag)) {
        return rc;
    }
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx) {
        return GCM_NO_CONTEXT;
    }
    if (int rc = gcm_start(ctx.get(), 1, aad, aad_length, key, iv)) {
        return rc;
    }
    int produced = 0;
    if (length > 0 && EVP_EncryptUpdate(ctx.get(), out, &produced, plaintext, length) != 1) {
        return GCM_UPDATE_FAILED;
    }
    int last = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), out == nullptr ? nullptr : out + produced, &last) != 1) {
        return GCM_FINAL_FAILED;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, GCM_TAG_LENGTH, tag) != 1) {
        return GCM_TAG_REJECTED;
    }
    return produced + last;
}

bool random_bytes(std::span<std::uint8_t> out) noexcept {
    if (out.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    return out.empty() || RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

std::uint64_t system_clock_seconds() noexcept {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

void cleanse(std::span<std::uint8_t> bytes) noexcept {
    if (!bytes.empty()) {
        OPENSSL_cleanse(bytes.data(), bytes.size());
    }
}

}  // namespace xtc
