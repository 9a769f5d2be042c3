#include "service/tunnel.h"

#include <algorithm>

namespace service {
namespace {

constexpr std::size_t OPEN_REQ_LENGTH_FIELD = OPEN_REQ_SIZE - REQ_ENCRYPTED;
constexpr std::size_t SEQUENCE_AND_RESULT_SIZE = RSP_BODY - RSP_ENCRYPTED;

std::string token_key(std::span<const std::uint8_t> token) {
    return std::string(token.begin(), token.end());
}

}  // namespace

bool sequence_window::accept(std::uint64_t sequence) {
    if (!any_ || sequence > highest_) {
        const std::uint64_t shift = any_ ? sequence - highest_ : WIDTH;
        if (shift >= WIDTH) {
            seen_.reset();
        } else {
            for (std::uint64_t n = highest_ + 1; n <= sequence; ++n) {
                seen_.reset(n % WIDTH);
            }
        }
        any_ = true;
        highest_ = sequence;
        seen_.set(sequence % WIDTH);
        return true;
    }
    if (highest_ - sequence >= WIDTH || seen_.test(sequence % WIDTH)) {
        return false;
    }
    seen_.set(sequence % WIDTH);
    return true;
}

tunnel_ptr tunnel_table::add(std::uint64_t serial, const token_t& token,
                             std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key) {
    auto tunnel = std::make_shared<tunnel_t>();
    tunnel->serial = serial;
    tunnel->token = token;
    std::copy(key.begin(), key.end(), tunnel->key.bytes.begin());
    std::unique_lock lock(mutex_);
    auto name = token_key(token);
    if (tunnels_.emplace(name, tunnel).second) {
        order_.push_back(std::move(name));
    }
    while (tunnels_.size() > capacity_ && !order_.empty()) {
        tunnels_.erase(order_.front());
        order_.pop_front();
    }
    return tunnel;
}

tunnel_ptr tunnel_table::find(std::span<const std::uint8_t> token) const {
    std::shared_lock lock(mutex_);
    auto it = tunnels_.find(token_key(token));
    return it == tunnels_.end() ? nullptr : it->second;
}

std::size_t tunnel_table::size() const {
    std::shared_lock lock(mutex_);
    return tunnels_.size();
}

std::optional<open_request_t> parse_open_request(std::span<const std::uint8_t> body) {
    if (body.size() != OPEN_REQ_SIZE || get_u32(body, REQ_TYPE) != ORVA_XTC_OPEN_REQ_V1 ||
        get_u32(body, REQ_LENGTH) != OPEN_REQ_LENGTH_FIELD ||
        get_u32(body, CMD_CODE) != ORVA_XTC_OPEN_REQ_V1 ||
        get_u32(body, OPEN_REQ_POINT_LENGTH) != P384_POINT_SIZE ||
        get_u32(body, OPEN_REQ_NONCE_LENGTH) != NONCE_SIZE) {
        return std::nullopt;
    }
    open_request_t request;
    request.serial = get_u64(body, OPEN_REQ_SERIAL);
    request.expiry = get_u64(body, REQ_EXPIRY);
    request.point = get_bytes(body, OPEN_REQ_POINT, P384_POINT_SIZE);
    request.nonce = get_bytes(body, OPEN_REQ_NONCE, NONCE_SIZE);
    return request;
}

bool build_open_response(const EVP_PKEY* partition_key, const open_request_t& request,
                         const token_t& token, std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                         std::span<const std::uint8_t, GCM_IV_SIZE> iv,
                         std::span<std::uint8_t, OPEN_RSP_SIZE> out) {
    std::fill(out.begin(), out.end(), 0);
    crypto::secret_t<P384_SECRET_SIZE> shared;
    crypto::secret_t<TUNNEL_KEY_SIZE> sealing_key;
    if (!crypto::ecdh_p384(partition_key, request.point, shared.span()) ||
        !crypto::tunnel_kdf(shared.span(), request.nonce, request.serial, sealing_key.span())) {
        return false;
    }
    put_u32(out, OPEN_RSP_TYPE, ORVA_XTC_OPEN_RSP_V1);
    put_bytes(out, OPEN_RSP_TOKEN, token);
    put_bytes(out, OPEN_RSP_KEY, key);
    put_u32(out, OPEN_RSP_TOKEN_LENGTH, TOKEN_SIZE);
    put_u32(out, OPEN_RSP_KEY_LENGTH, TUNNEL_KEY_SIZE);
    put_bytes(out, OPEN_RSP_IV, iv);
    return crypto::gcm_seal(sealing_key.span(), iv, {},
                            field(out, OPEN_RSP_SEALED, OPEN_RSP_SEALED_SIZE),
                            field(out, OPEN_RSP_TAG, GCM_TAG_SIZE).first<GCM_TAG_SIZE>());
}

bytes open_refusal(std::uint32_t status) {
    bytes out(OPEN_RSP_SIZE, 0);
    put_u32(out, OPEN_RSP_TYPE, ORVA_XTC_OPEN_RSP_V1);
    put_u32(out, OPEN_RSP_STATUS, status);
    return out;
}

bool is_protected_request(std::span<const std::uint8_t> body) {
    return body.size() >= CMD_CODE && get_u32(body, REQ_TYPE) == ORVA_XTC_REQ_V1 &&
           get_u32(body, REQ_LENGTH) == body.size() - REQ_ENCRYPTED;
}

bool unseal_request(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                    std::span<std::uint8_t> body) {
    if (body.size() < CMD_CODE) {
        return false;
    }
    std::array<std::uint8_t, GCM_IV_SIZE> iv;
    std::array<std::uint8_t, GCM_TAG_SIZE> tag;
    std::copy_n(body.begin() + REQ_IV, GCM_IV_SIZE, iv.begin());
    std::copy_n(body.begin() + REQ_TAG, GCM_TAG_SIZE, tag.begin());
    return crypto::gcm_open(key, iv, body.subspan(REQ_AAD, REQ_AAD_SIZE),
                            body.subspan(REQ_ENCRYPTED), tag);
}

bytes seal_reply(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                 std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::uint64_t sequence,
                 std::uint32_t result, std::span<const std::uint8_t> body, std::uint32_t status) {
    bytes out(protected_reply_size(body.size()), 0);
    put_u32(out, RSP_TYPE, ORVA_XTC_RSP_V1);
    put_u32(out, RSP_LENGTH, static_cast<std::uint32_t>(SEQUENCE_AND_RESULT_SIZE + body.size()));
    put_u32(out, RSP_STATUS, status);
    put_bytes(out, RSP_IV, iv);
    put_u64(out, RSP_SEQUENCE, sequence);
    put_u32(out, RSP_RESULT, result);
    put_bytes(out, RSP_BODY, body);
    std::array<std::uint8_t, RSP_AAD_SIZE> aad;
    std::copy_n(out.begin() + RSP_AAD, RSP_AAD_SIZE, aad.begin());
    std::array<std::uint8_t, GCM_TAG_SIZE> tag;
    if (!crypto::gcm_seal(key, iv, aad, std::span(out).subspan(RSP_ENCRYPTED), tag)) {
        return tunnel_refusal(ORVA_RET_XTC_ERROR);
    }
    put_bytes(out, RSP_TAG, tag);
    return out;
}

bytes tunnel_refusal(std::uint32_t status) {
    bytes out(RSP_ENCRYPTED, 0);
    put_u32(out, RSP_TYPE, ORVA_XTC_RSP_V1);
    put_u32(out, RSP_STATUS, status);
    return out;
}

}  // namespace service
