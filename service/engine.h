#pragma once
// Everything the service does with one HTTP request, without the network: routing, the
// transport prefix, the tunnel, the HSM, version headers, faults, the request log and the
// violation counts. The HTTPS server hands each parsed request to `engine::handle` and writes
// back what it returns; tests may call it directly.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "service/crypto.h"
#include "service/faults.h"
#include "service/hsm.h"
#include "service/request_log.h"
#include "service/tunnel.h"
#include "service/violations.h"

namespace service {

struct http_request_t {
    std::string method;
    std::string target;
    header_list_t headers;  // in wire order
    bytes body;
};

struct http_reply_t {
    enum class delivery_t { normal, close_without_reply, truncated };
    unsigned status = 200;
    header_list_t headers;
    bytes body;
    std::chrono::milliseconds delay{0};
    delivery_t delivery = delivery_t::normal;
};

struct partition_key_t {
    std::uint64_t serial = 0;
    crypto::pkey_ptr key;  // EC P-384 private key of the partition
};

struct engine_options_t {
    hsm_options_t hsm;
    std::size_t tunnel_capacity = 4096;
    std::size_t log_capacity = 4096;
    /// Longest request lifetime a client may claim; an expiry further ahead is refused.
    std::int64_t max_request_lifetime_seconds = 600 + 60;
};

/// Checks a bearer token; installed when the OAuth stand-in is enabled.
using bearer_check_t = std::function<bool(std::string_view token)>;
/// Answers requests outside /vHSM (the OAuth stand-in); nullopt: not one of its targets.
using extra_route_t = std::function<std::optional<http_reply_t>(const http_request_t&)>;

/// Header names of the exchange.
inline constexpr char PARTITION_VERSION_HDR[] = "Partition-Version";
inline constexpr char APP_SESSIONS_VERSION_HDR[] = "App-Sessions-Version";
inline constexpr char RETRY_AFTER_HDR[] = "Retry-After";
inline constexpr char AUTHORIZATION_HDR[] = "Authorization";

/// The value of the first header named `name` (compared without case), or nullopt.
std::optional<std::string> find_header(const header_list_t& headers, std::string_view name);

class engine {
  public:
    engine(std::vector<partition_key_t> partitions, engine_options_t options = {},
           clock_fn clock = {});
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    http_reply_t handle(http_request_t request);

    // In-process control of the service, for tests.
    violation_counts_t violations() const { return violations_.snapshot(); }
    void reset_violations() { violations_.reset(); }
    void inject(fault_t fault, unsigned count = 1) { faults_.push(std::move(fault), count); }
    void clear_faults() { faults_.clear(); }
    std::size_t pending_faults() const { return faults_.pending(); }
    std::vector<request_record_t> requests() const { return log_.snapshot(); }
    void clear_requests() { log_.clear(); }
    hsm_t& hsm() { return hsm_; }
    std::vector<std::uint64_t> serials() const { return hsm_.serials(); }

    void set_bearer_check(bearer_check_t check) { bearer_check_ = std::move(check); }
    void set_extra_route(extra_route_t route) { extra_route_ = std::move(route); }

  private:
    struct exchange_t;
    http_reply_t handle_vhsm(exchange_t& exchange);
    http_reply_t open_exchange(exchange_t& exchange);
    http_reply_t protected_exchange(exchange_t& exchange);
    http_reply_t run_command(exchange_t& exchange, const tunnel_ptr& tunnel,
                             const std::optional<fault_t>& fault);
    bool expiry_acceptable(std::uint64_t expiry) const;
    const EVP_PKEY* partition_key(std::uint64_t serial) const;
    http_reply_t finish(exchange_t& exchange, http_reply_t reply);

    engine_options_t options_;
    clock_fn clock_;
    violation_counters violations_;
    std::map<std::uint64_t, crypto::pkey_ptr> keys_;
    hsm_t hsm_;
    tunnel_table tunnels_;
    fault_queue faults_;
    request_log log_;
    bearer_check_t bearer_check_;
    extra_route_t extra_route_;
};

}  // namespace service
