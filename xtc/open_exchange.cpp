// The open exchange: an ephemeral ECDH on P-384 against the partition's certified key, from
// which the partition's sealed tunnel token and key are unsealed.

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>

#include "config/codes.h"
#include "config/wire.h"
#include "xtc/envelope.h"
#include "xtc/seams.h"
#include "xtc/xtc.h"

namespace xtc {

open_exchange_t::~open_exchange_t() {
    forget();
}

void open_exchange_t::forget() noexcept {
    // Freeing the EC key clears its private scalar.
    ephemeral_key_.reset();
    partition_key_.reset();
    cleanse(nonce_);
    serial_ = 0;
}

std::uint32_t open_exchange_t::begin(const state_t& state, const tunnel_handle& tunnel,
                                     std::span<std::uint8_t> request) noexcept {
    bool prepared = false;
    try {
        prepared = prepare(state, tunnel, request);
    } catch (...) {
        prepared = false;
    }
    if (!prepared) {
        cleanse(request);
        forget();
        return ORVA_RET_XTC_ERROR;
    }
    return 0;
}

bool open_exchange_t::prepare(const state_t& state, const tunnel_handle& tunnel,
                              std::span<std::uint8_t> request) {
    if (!tunnel || request.size() != open_req_v1::SIZE || !testing::hooks.random(nonce_)) {
        return false;
    }
    serial_ = tunnel->serial;
    partition_key_ = get_pub_key(state, serial_);
    ephemeral_key_ = testing::hooks.ephemeral_key(XTC_CURVE);
    if (!partition_key_ || !ephemeral_key_) {
        return false;
    }
    auto point = request.subspan(open_req_v1::POINT, open_req_v1::POINT_CAPACITY);
    std::fill(point.begin(), point.end(), std::uint8_t{0});
    std::size_t point_length = 0;
    if (EVP_PKEY_get_octet_string_param(ephemeral_key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                        point.data(), point.size(), &point_length) != 1 ||
        point_length == 0 || point_length > point.size()) {
        return false;
    }
    return wire::put_bytes(request, open_req_v1::NONCE, nonce_) &&
           wire::put_u32(request, open_req_v1::POINT_LENGTH,
                         static_cast<std::uint32_t>(point_length)) &&
           wire::put_u32(request, open_req_v1::NONCE_LENGTH, NONCE_SIZE) &&
           wire::put_u64(request, open_req_v1::SERIAL, serial_) && wrap(request, tunnel);
}

std::uint32_t open_exchange_t::finish(state_t& state, const tunnel_handle& tunnel,
                                      std::span<std::uint8_t> response) noexcept {
    const scoped_wipe wipe_response(response);
    std::uint32_t rc = ORVA_RET_XTC_ERROR;
    try {
        if (tunnel && ephemeral_key_ && tunnel->serial == serial_) {
            rc = unseal(state, *tunnel, response);
        }
    } catch (...) {
        rc = ORVA_RET_XTC_ERROR;
    }
    forget();
    return rc;
}

std::uint32_t open_exchange_t::unseal(state_t& state, tunnel_t& tunnel,
                                      std::span<std::uint8_t> response) {
    if (response.size() < open_rsp_v1::SIZE) {
        return ORVA_RET_XTC_ERROR;
    }
    const auto type = wire::get_u32(response, open_rsp_v1::TYPE);
    const auto status = wire::get_u32(response, open_rsp_v1::STATUS);
    if (!type || !status || *type != ORVA_XTC_OPEN_RSP_V1) {
        return ORVA_RET_XTC_ERROR;
    }
    if (*status != 0) {
        return *status;
    }
    secret_array<ECDH_SECRET_SIZE> z;
    if (do_ecdh(partition_key_, ephemeral_key_, z.data(), z.size()) != z.size()) {
        return ORVA_RET_XTC_ERROR;
    }
    secret_array<XTC_KEY_SIZE> k;
    if (xtc_kdf(z.data(), z.size(), nonce_.data(), nonce_.size(), serial_, k.data()) !=
        static_cast<int>(k.size())) {
        return ORVA_RET_XTC_ERROR;
    }
    std::uint8_t* sealed = response.data() + open_rsp_v1::SEALED;
    constexpr int sealed_size = static_cast<int>(open_rsp_v1::SEALED_SIZE);
    if (decrypt_gcm(sealed, sealed_size, nullptr, 0, k.data(), response.data() + open_rsp_v1::IV,
                    sealed, response.data() + open_rsp_v1::TAG) != sealed_size) {
        return ORVA_RET_XTC_ERROR;
    }
    const auto token_length = wire::get_u32(response, open_rsp_v1::TOKEN_LENGTH);
    const auto key_length = wire::get_u32(response, open_rsp_v1::KEY_LENGTH);
    if (token_length != TOKEN_SIZE || key_length != KEY_SIZE) {
        return ORVA_RET_XTC_ERROR;
    }
    const auto token = response.subspan<open_rsp_v1::TOKEN, TOKEN_SIZE>();
    const auto key = response.subspan<open_rsp_v1::KEY, KEY_SIZE>();
    if (tunnel_connect(tunnel, token, key) != 0 || !update_tunnel(state, tunnel)) {
        return ORVA_RET_XTC_ERROR;
    }
    return 0;
}

}  // namespace xtc
