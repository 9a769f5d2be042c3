// Protection of commands and their replies under an open tunnel.

#include <algorithm>
#include <climits>

#include "config/codes.h"
#include "config/wire.h"
#include "xtc/envelope.h"
#include "xtc/seams.h"
#include "xtc/xtc.h"

namespace xtc {

namespace {

// Writes type, length, token (or zeros) and clears IV and tag; the buffer must hold at least
// the envelope.
bool write_clear_header(std::span<std::uint8_t> request, const tunnel_t& tunnel, bool open) {
    const auto encrypted_length = static_cast<std::uint32_t>(request.size() - req_v1::ENCRYPTED);
    const std::array<std::uint8_t, TOKEN_SIZE> no_token{};
    if (!wire::put_u32(request, req_v1::TYPE, open ? ORVA_XTC_REQ_V1 : ORVA_XTC_OPEN_REQ_V1) ||
        !wire::put_u32(request, req_v1::LENGTH, encrypted_length) ||
        !wire::put_bytes(request, req_v1::TOKEN, open ? tunnel.token : no_token)) {
        return false;
    }
    std::fill(request.begin() + req_v1::IV, request.begin() + req_v1::EXPIRY, std::uint8_t{0});
    return true;
}

bool encrypt_request(std::span<std::uint8_t> request, const tunnel_t& tunnel) {
    auto iv = request.subspan(req_v1::IV, GCM_IV_SIZE);
    if (!testing::hooks.random(iv)) {
        return false;
    }
    const auto plaintext = request.subspan(req_v1::ENCRYPTED);
    const int length = static_cast<int>(plaintext.size());
    return encrypt_gcm(plaintext.data(), length, request.data() + req_v1::AAD,
                       static_cast<int>(req_v1::AAD_SIZE), tunnel.key.data(), iv.data(),
                       plaintext.data(), request.data() + req_v1::TAG) == length;
}

}  // namespace

bool wrap(std::span<std::uint8_t> request, const tunnel_handle& tunnel) noexcept try {
    // The encrypted length must fit both the 32-bit length field and OpenSSL's int lengths.
    if (!tunnel || request.size() < req_v1::COMMAND ||
        request.size() - req_v1::ENCRYPTED > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    const bool open = tunnel->state == TUNNEL_OPEN;
    if (open && !tunnel->counter) {
        return false;
    }
    if (!write_clear_header(request, *tunnel, open)) {
        return false;
    }
    const std::uint64_t expiry = testing::hooks.clock() + tunnel->timeout;
    // The value before the increment: the first request after an open carries 0.
    const std::uint64_t sequence = open ? tunnel->counter->fetch_add(1) : 0;
    tunnel->last_sequence = sequence;
    if (!wire::put_u64(request, req_v1::EXPIRY, expiry) ||
        !wire::put_u64(request, req_v1::SEQUENCE, sequence)) {
        return false;
    }
    return !open || encrypt_request(request, *tunnel);
} catch (...) {
    return false;
}

bool unwrap(std::span<std::uint8_t> response, const tunnel_handle& tunnel) noexcept try {
    if (!tunnel) {
        return false;
    }
    if (tunnel->state != TUNNEL_OPEN) {
        return true;
    }
    const auto type = wire::get_u32(response, rsp_v1::TYPE);
    const auto claimed = wire::get_u32(response, rsp_v1::LENGTH);
    const auto status = wire::get_u32(response, rsp_v1::STATUS);
    if (response.size() < rsp_v1::BODY || !type || !claimed || !status) {
        return false;
    }
    // L is signed on the wire. Less than the sequence and result word would leave the result
    // word unauthenticated; more than the buffer holds would read past it.
    const auto length = static_cast<std::int32_t>(*claimed);
    if (length < static_cast<std::int32_t>(rsp_v1::MIN_ENCRYPTED) ||
        static_cast<std::size_t>(length) > response.size() - rsp_v1::ENCRYPTED) {
        return false;
    }
    if (*type != ORVA_XTC_RSP_V1 || *status != 0) {
        return false;
    }
    std::uint8_t* encrypted = response.data() + rsp_v1::ENCRYPTED;
    if (decrypt_gcm(encrypted, length, response.data() + rsp_v1::AAD,
                    static_cast<int>(rsp_v1::AAD_SIZE), tunnel->key.data(),
                    response.data() + rsp_v1::IV, encrypted,
                    response.data() + rsp_v1::TAG) != length) {
        return false;
    }
    const auto sequence = wire::get_u64(response, rsp_v1::SEQUENCE);
    return sequence && *sequence == tunnel->last_sequence;
} catch (...) {
    return false;
}

}  // namespace xtc
