#pragma once
// The service's side of the XTC tunnel: the table of opened tunnels (found by their token),
// the open exchange that creates them with a partition's private key, and the protection of
// requests and replies under a tunnel key.

#include <bitset>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>

#include "service/codes.h"
#include "service/crypto.h"
#include "service/wire.h"

namespace service {

using token_t = std::array<std::uint8_t, TOKEN_SIZE>;

/// Accepts every sequence number at most once. Requests of one tunnel may arrive out of order
/// (the client sends from several threads), so numbers up to WIDTH below the highest one seen
/// are still accepted once; anything older is refused like a repeat.
class sequence_window {
  public:
    static constexpr std::uint64_t WIDTH = 4096;
    /// False when `sequence` was accepted before or lies below the window.
    bool accept(std::uint64_t sequence);

  private:
    bool any_ = false;
    std::uint64_t highest_ = 0;
    std::bitset<WIDTH> seen_;  // bit (n % WIDTH) marks sequence n within the window
};

struct tunnel_t {
    std::uint64_t serial = 0;
    token_t token{};
    crypto::secret_t<TUNNEL_KEY_SIZE> key;
    std::mutex mutex;  // guards window
    sequence_window window;
};
using tunnel_ptr = std::shared_ptr<tunnel_t>;

/// Opened tunnels by token. Bounded: a client that opens tunnels without end pushes out the
/// oldest ones, whose next request is then answered as one with an unknown token.
class tunnel_table {
  public:
    explicit tunnel_table(std::size_t capacity = 4096) : capacity_(capacity) {}
    tunnel_ptr add(std::uint64_t serial, const token_t& token,
                   std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key);
    tunnel_ptr find(std::span<const std::uint8_t> token) const;
    std::size_t size() const;

  private:
    std::size_t capacity_;
    mutable std::shared_mutex mutex_;  // guards tunnels_ and order_
    std::unordered_map<std::string, tunnel_ptr> tunnels_;
    std::deque<std::string> order_;  // tokens, oldest first
};

/// The fields of an open request the service uses; the spans point into the request.
struct open_request_t {
    std::uint64_t serial = 0;
    std::uint64_t expiry = 0;
    std::span<const std::uint8_t> point;
    std::span<const std::uint8_t> nonce;
};

/// Checks type, command code and the claimed lengths; nullopt for a malformed request.
std::optional<open_request_t> parse_open_request(std::span<const std::uint8_t> body);

/// Fills the open response: token and tunnel key sealed under the key derived from
/// ECDH(partition key, client point) and the nonce. False when the point or a cipher step
/// fails; `out` is then unusable.
bool build_open_response(const EVP_PKEY* partition_key, const open_request_t& request,
                         const token_t& token, std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                         std::span<const std::uint8_t, GCM_IV_SIZE> iv,
                         std::span<std::uint8_t, OPEN_RSP_SIZE> out);

/// An open response that refuses the exchange with `status`.
bytes open_refusal(std::uint32_t status);

/// Checks the envelope of a protected request (type, length field) without decrypting it.
bool is_protected_request(std::span<const std::uint8_t> body);

/// Decrypts a protected request in place from its expiry onwards; false when the tag fails.
bool unseal_request(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                    std::span<std::uint8_t> body);

/// A protected reply: sequence, result word and body encrypted under `key` with `iv`.
bytes seal_reply(std::span<const std::uint8_t, TUNNEL_KEY_SIZE> key,
                 std::span<const std::uint8_t, GCM_IV_SIZE> iv, std::uint64_t sequence,
                 std::uint32_t result, std::span<const std::uint8_t> body,
                 std::uint32_t status = 0);

/// A reply that carries only a non-zero tunnel status: nothing encrypted, nothing to open.
bytes tunnel_refusal(std::uint32_t status);

/// Size of a protected reply with `body_size` bytes of HSM body.
constexpr std::size_t protected_reply_size(std::size_t body_size) {
    return RSP_BODY + body_size;
}

}  // namespace service
