#pragma once
// The tunnel layer: the registry of partitions and their tunnels, the open exchange that
// gives a partition's tunnel its token and key, and the protection of every command.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "xtc/cert.h"
#include "xtc/crypto.h"
#include "xtc/rw_lock.h"
#include "xtc/secret.h"

namespace xtc {

inline constexpr std::size_t TOKEN_SIZE = 64;
inline constexpr std::size_t KEY_SIZE = 32;

/// Values of tunnel_t::state.
inline constexpr std::int32_t TUNNEL_DISABLED = 0;
inline constexpr std::int32_t TUNNEL_NOT_OPEN = 1;
inline constexpr std::int32_t TUNNEL_OPEN = 2;

/// Container identifiers are handed out from here upward, one per partition.
inline constexpr std::uint32_t FIRST_CONTAINER = 1000000;
/// Container identifiers that name the first partition.
inline constexpr std::uint32_t ANY_CONTAINER_LOW = 0;
inline constexpr std::uint32_t ANY_CONTAINER_HIGH = 0xFFFFFFFF;

struct tunnel_t {
    std::uint64_t serial = 0;  // partition serial number, 0 for the placeholder
    std::int32_t state = 0;    // TUNNEL_DISABLED, TUNNEL_NOT_OPEN or TUNNEL_OPEN
    std::shared_ptr<std::atomic<std::uint64_t>> counter;  // next sequence, shared by copies
    std::uint64_t last_sequence = 0;  // sequence of the last request wrapped with this copy
    std::uint64_t timeout = 0;        // request lifetime in seconds
    std::array<std::uint8_t, TOKEN_SIZE> token{};
    std::array<std::uint8_t, KEY_SIZE> key{};
};
/// Every tunnel handle wipes its token and key when its last holder lets go.
using tunnel_handle = std::shared_ptr<tunnel_t>;

struct state_t {
    bool enabled = false;
    std::uint64_t timeout = 0;
    // Filled before the state is shared and never changed afterwards: read without the lock.
    std::unordered_map<std::uint64_t, pkey_handle> partition_keys;
    std::unordered_map<std::uint32_t, std::uint64_t> containers;
    // Guarded by `lock`: replaced when a tunnel opens or the tunnels are reset.
    tunnel_handle default_tunnel;
    std::unordered_map<std::uint64_t, tunnel_handle> tunnels;
    mutable rw_lock lock;
};
using state_handle = std::shared_ptr<state_t>;

/// Builds the state from the XTC settings; null after a message on standard error.
state_handle init();

/// A state over already verified partition keys: containers numbered from FIRST_CONTAINER in
/// ascending serial order, fresh tunnels. Null when it cannot be allocated.
state_handle make_state(std::uint64_t timeout,
                        std::unordered_map<std::uint64_t, pkey_handle> partition_keys);

/// The deleter of every state handle: drops the tunnels (wiping their keys), frees the state.
void destroy(state_t* state) noexcept;

/// Replaces every tunnel with a fresh, not-open one; false (registry unchanged) when out of
/// memory.
bool reset_states(state_t& state) noexcept;

bool is_enabled(const state_t& state);

/// All container identifiers, ascending; serialNumberList gives their serials in that order.
std::vector<std::uint32_t> containerList(const state_t& state);
std::vector<std::uint64_t> serialNumberList(const state_t& state);

/// 0 when disabled or unknown; ANY_CONTAINER_LOW and ANY_CONTAINER_HIGH name the first entry.
std::uint64_t containerToSerialNumber(const state_t& state, std::uint32_t container);
/// 0 when disabled or unknown.
std::uint32_t serialNumberToContainer(const state_t& state, std::uint64_t serial);

pkey_handle get_pub_key(const state_t& state, std::uint64_t serial);

/// A private copy of the partition's tunnel (the default tunnel for serial 0) that shares the
/// sequence counter; null when the serial is not registered or memory runs out.
tunnel_handle get_tunnel_copy(const state_t& state, std::uint64_t serial) noexcept;

/// A new not-open (or, for a disabled state, disabled) tunnel with serial 0 and zero secrets.
tunnel_handle create_tunnel(const state_t& state) noexcept;

/// Marks the tunnel open with a fresh counter at 0; 0, or ORVA_RET_XTC_ERROR.
std::uint32_t tunnel_connect(tunnel_t& tunnel, std::span<const std::uint8_t, TOKEN_SIZE> token,
                             std::span<const std::uint8_t, KEY_SIZE> key) noexcept;

/// Installs an opened tunnel in the registry (and as default tunnel when it replaces it).
/// The installed tunnel shares the given tunnel's counter. False when out of memory.
bool update_tunnel(state_t& state, const tunnel_t& tunnel) noexcept;

/// Frames the request in place: the clear header for a tunnel that is not open, otherwise the
/// header and the encryption of everything from offset 120 under the tunnel key. The command
/// header must start at offset 136. Updates the copy's last_sequence.
bool wrap(std::span<std::uint8_t> request, const tunnel_handle& tunnel) noexcept;

/// Authenticates and decrypts a reply in place and checks that it answers the last request
/// wrapped with this copy. A tunnel that is not open passes the reply through. After a false
/// result the buffer is partly decrypted and must not be read.
bool unwrap(std::span<std::uint8_t> response, const tunnel_handle& tunnel) noexcept;

/// One open exchange. The send path builds a 312-byte request whose command header (offset
/// 136) it has filled, calls begin, sends the request, and hands the reply to finish:
///
///   xtc::open_exchange_t exchange;
///   xtc::buffer_wipe wipe_request(cmd.request), wipe_response(cmd.response);
///   if (auto rc = exchange.begin(state, tunnel, cmd.request)) return rc;
///   if (auto rc = rest_send(cmd)) return rc;
///   return exchange.finish(state, tunnel, cmd.response);
///
/// Each returns 0, the partition's non-zero status (finish), or ORVA_RET_XTC_ERROR.
class open_exchange_t {
  public:
    open_exchange_t() = default;
    ~open_exchange_t();
    open_exchange_t(const open_exchange_t&) = delete;
    open_exchange_t& operator=(const open_exchange_t&) = delete;

    /// Fills offsets 176..311 (ephemeral point, nonce, lengths, serial) and frames the request
    /// with wrap (offsets 16..135). Wipes the whole request when it fails.
    std::uint32_t begin(const state_t& state, const tunnel_handle& tunnel,
                        std::span<std::uint8_t> request) noexcept;

    /// Checks the reply, derives the key, unseals token and tunnel key, opens `tunnel` and
    /// installs it. Wipes the reply and every intermediate secret on every path. An exchange
    /// finishes once; `tunnel` must be the one given to begin.
    std::uint32_t finish(state_t& state, const tunnel_handle& tunnel,
                         std::span<std::uint8_t> response) noexcept;

  private:
    bool prepare(const state_t& state, const tunnel_handle& tunnel,
                 std::span<std::uint8_t> request);
    std::uint32_t unseal(state_t& state, tunnel_t& tunnel, std::span<std::uint8_t> response);
    void forget() noexcept;

    std::uint64_t serial_ = 0;
    pkey_handle partition_key_;
    pkey_handle ephemeral_key_;
    std::array<std::uint8_t, NONCE_SIZE> nonce_{};
};

}  // namespace xtc
