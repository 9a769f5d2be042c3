#include "service/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace service::crypto {
namespace {

struct pkey_ctx_deleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct pkey_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_deleter>;
using owned_pkey = std::unique_ptr<EVP_PKEY, pkey_deleter>;
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

constexpr char P384_GROUP[] = "secp384r1";
constexpr char KDF_ALGORITHM_ID[] = "A256GCM";          // written with its terminating zero
constexpr char KDF_PARTY_INFO[] = "XTC_OPEN_KDF v1.0";  // likewise
constexpr std::size_t SERIAL_FIELD_SIZE = 8;

owned_pkey peer_key(std::span<const std::uint8_t> point) {
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
        return nullptr;
    }
    std::string group = P384_GROUP;
    std::vector<unsigned char> encoded(point.begin(), point.end());
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return nullptr;
    }
    return owned_pkey(key);
}

// One KDF field: its length in four big-endian bytes, then its bytes; an empty field is
// written as a zero length followed by a single zero byte.
void append_field(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> value) {
    const auto length = static_cast<std::uint32_t>(value.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    if (value.empty()) {
        out.push_back(0);
    } else {
        out.insert(out.end(), value.begin(), value.end());
    }
}

template <std::size_t N>
std::span<const std::uint8_t> text_field(const char (&text)[N]) {
    return {reinterpret_cast<const std::uint8_t*>(text), N};  // includes the zero byte
}

cipher_ctx_ptr gcm_context(bool encrypt, std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                           std::span<const std::uint8_t, GCM_IV_SIZE> iv,
                           std::span<const std::uint8_t> aad) {
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr,
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, GCM_IV_SIZE, nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv.data(), -1) != 1) {
        return nullptr;
    }
    int ignored = 0;
    if (!aad.empty() &&
        (aad.size() > INT_MAX || EVP_CipherUpdate(ctx.get(), nullptr, &ignored, aad.data(),
                                                  static_cast<int>(aad.size())) != 1)) {
        return nullptr;
    }
    return ctx;
}

bool update_in_place(EVP_CIPHER_CTX* ctx, std::span<std::uint8_t> data) {
    if (data.size() > INT_MAX) {
        return false;
    }
    int written = 0;
    if (!data.empty() && EVP_CipherUpdate(ctx, data.data(), &written, data.data(),
                                          static_cast<int>(data.size())) != 1) {
        return false;
    }
    return static_cast<std::size_t>(written) == data.size();
}

}  // namespace

void wipe(std::span<std::uint8_t> secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
}

bool random_bytes(std::span<std::uint8_t> out) {
    return out.size() <= INT_MAX && RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

bool is_p384_private_key(const EVP_PKEY* key) {
    if (key == nullptr || EVP_PKEY_is_a(key, "EC") != 1) {
        return false;
    }
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &length) != 1 ||
        std::strcmp(group, P384_GROUP) != 0) {
        return false;
    }
    BIGNUM* scalar = nullptr;
    const bool has_private = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1;
    BN_clear_free(scalar);
    return has_private;
}

bool ecdh_p384(const EVP_PKEY* own, std::span<const std::uint8_t> peer_point,
               std::span<std::uint8_t, P384_SECRET_SIZE> shared) {
    auto peer = peer_key(peer_point);
    if (!peer || own == nullptr) {
        return false;
    }
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(own), nullptr));
    std::size_t length = shared.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1 ||
        EVP_PKEY_derive(ctx.get(), shared.data(), &length) != 1) {
        wipe(shared);
        return false;
    }
    return length == shared.size();
}

bool tunnel_kdf(std::span<const std::uint8_t> shared, std::span<const std::uint8_t> nonce,
                std::uint64_t serial, std::span<std::uint8_t, TUNNEL_KEY_SIZE> key) {
    std::uint8_t serial_be[SERIAL_FIELD_SIZE];
    for (std::size_t i = 0; i < SERIAL_FIELD_SIZE; ++i) {
        serial_be[i] = static_cast<std::uint8_t>(serial >> (8 * (SERIAL_FIELD_SIZE - 1 - i)));
    }
    std::vector<std::uint8_t> input;
    append_field(input, shared);
    append_field(input, text_field(KDF_ALGORITHM_ID));
    append_field(input, nonce);
    append_field(input, serial_be);
    append_field(input, text_field(KDF_PARTY_INFO));
    append_field(input, {});
    unsigned int length = 0;
    const bool ok =
        EVP_Digest(input.data(), input.size(), key.data(), &length, EVP_sha256(), nullptr) == 1 &&
        length == key.size();
    wipe(input);
    return ok;
}

bool gcm_seal(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
              std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::span<const std::uint8_t> aad,
              std::span<std::uint8_t> data, std::span<std::uint8_t, GCM_TAG_SIZE> tag) {
    auto ctx = gcm_context(true, key, iv, aad);
    int final_length = 0;
    return ctx && update_in_place(ctx.get(), data) &&
           EVP_CipherFinal_ex(ctx.get(), nullptr, &final_length) == 1 && final_length == 0 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, GCM_TAG_SIZE, tag.data()) == 1;
}

bool gcm_open(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
              std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::span<const std::uint8_t> aad,
              std::span<std::uint8_t> data, std::span<const std::uint8_t, GCM_TAG_SIZE> tag) {
    auto ctx = gcm_context(false, key, iv, aad);
    if (!ctx || !update_in_place(ctx.get(), data)) {
        return false;
    }
    std::array<std::uint8_t, GCM_TAG_SIZE> expected;
    std::copy(tag.begin(), tag.end(), expected.begin());
    int final_length = 0;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, GCM_TAG_SIZE, expected.data()) ==
               1 &&
           EVP_CipherFinal_ex(ctx.get(), nullptr, &final_length) == 1 && final_length == 0;
}

}  // namespace service::crypto
