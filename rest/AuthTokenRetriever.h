#pragma once
// The OAuth bearer token of the service requests. A background worker obtains it with the
// client-credentials grant and renews it one hour before the expiry written in the token, or
// every 30 seconds while it has none or cannot read the expiry. Request threads only read it.
//
// Use from the REST driver:
//   fetchAuthTokenConfig(host, port, path);                  // configuration URI -> endpoint
//   startAuthTokenRetrieval(host, port, path, id, secret);   // once; later calls return true
//   waitForCurrentAuthToken(10s), then (120s);               // first token, empty on timeout
//   getCurrentAuthToken();                                   // per request; empty when none
//   stopAuthTokenRetrieval();                                // also run by the destructor

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "rest/HttpRequest.h"
#include "rest/HttpResponse.h"

/// One HTTPS exchange on a new connection: connect once to host:port, send the request and
/// read the reply, each read waiting at most readTimeoutSec. Network, TLS and deadline
/// failures are raised as system errors; a rejected server certificate as another error.
using auth_exchange_t =
    std::function<HttpResponse(const std::string& host, std::uint16_t port,
                               std::int32_t readTimeoutSec, const HttpRequest& request)>;

/// The waits of the worker; tests shorten them or watch them.
struct auth_token_timing_t {
    /// Pause after a failed retrieval or a token whose expiry is unknown or near; also the
    /// shortest renewal pause, so the token service is never asked more often than this.
    std::chrono::milliseconds retryPause{std::chrono::seconds(30)};
    /// The wall clock the token's expiry is compared with; empty: the system clock.
    std::function<std::chrono::system_clock::time_point()> now;
    /// Called by the worker with each pause before it starts waiting.
    std::function<void(std::chrono::milliseconds)> onPause;
};

namespace auth_token {
/// The token is renewed this long before its expiry.
inline constexpr std::chrono::seconds RENEWAL_MARGIN{3600};
/// Longer pauses and waits are cut to this, so that absurd expiry values or timeouts cannot
/// overflow the clock arithmetic of a wait.
inline constexpr std::chrono::hours MAX_WAIT{24 * 365};
/// The read timeout of each token service exchange.
inline constexpr std::int32_t READ_TIMEOUT_SEC = 5;
inline constexpr const char* USER_AGENT = "Boost.Beast/181";
inline constexpr const char* FORM_BODY = "grant_type=client_credentials&token_format=jwt";
}  // namespace auth_token

/// How long to wait before the next retrieval after `token` was obtained at `now`: the time
/// left until its "exp" less one hour, or `retryPause` when that is shorter or the expiry
/// cannot be read (logged at level warning).
std::chrono::milliseconds token_renewal_pause(const std::string& token,
                                              std::chrono::system_clock::time_point now,
                                              std::chrono::milliseconds retryPause);

class AuthTokenRetriever {
  public:
    explicit AuthTokenRetriever(auth_exchange_t exchange = {}, auth_token_timing_t timing = {});
    ~AuthTokenRetriever();
    AuthTokenRetriever(const AuthTokenRetriever&) = delete;
    AuthTokenRetriever& operator=(const AuthTokenRetriever&) = delete;

    /// Installs the HTTPS exchange. Only while no worker runs; throws std::logic_error else.
    void setExchange(auth_exchange_t exchange);

    /// Asks the configuration URI host:port/path for its "token_endpoint" and, on success,
    /// replaces the three arguments by the endpoint's. False (logged) when the document has
    /// no usable endpoint. A reply that is not JSON, and an error other than a system error
    /// during the exchange, are raised to the caller.
    bool fetchAuthTokenConfig(std::string& host, std::uint16_t& port, std::string& path);

    /// Starts the worker for the token endpoint unless one already runs; returns whether one
    /// was running (which keeps its first parameters). Throws std::runtime_error
    /// "Incomplete authentication token configuration" for an empty text or port 0.
    bool startAuthTokenRetrieval(const std::string& host, std::uint16_t port,
                                 const std::string& path, const std::string& clientId,
                                 const std::string& clientSecret);

    /// The current token (a copy); empty when none.
    std::string getCurrentAuthToken() const;
    /// Replaces the token and wakes every waiter.
    void setCurrentAuthToken(const std::string& token);
    /// The current token; while the worker runs and has none yet, waits up to `timeout` for
    /// one. Empty when none arrived or the worker was stopped meanwhile.
    std::string waitForCurrentAuthToken(std::chrono::milliseconds timeout) const;
    /// Ends the worker's pause, waits for a request in progress to end, joins the worker and
    /// clears the token. Does nothing when no worker was started.
    void stopAuthTokenRetrieval();

    bool isRunning() const { return running_.load(); }

    /// The reply body of one token request; empty on a non-2xx status (4xx logged at level
    /// error) or a system error (logged at level info). Other errors reach the caller.
    std::string sendRequestToUAA(const std::string& host, std::uint16_t port,
                                 const std::string& path, const std::string& clientId,
                                 const std::string& clientSecret) const;
    /// The "access_token" of one token request; empty (and logged) on any failure: the worker
    /// only tries again later.
    std::string retrieveAuthToken(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& clientId,
                                  const std::string& clientSecret) const;

  private:
    struct endpoint_t {
        std::string host;
        std::uint16_t port = 0;
        std::string path;
        std::string clientId;
        std::string clientSecret;
    };

    /// The body of a 2xx reply; nullopt after a failure that sendRequestToUAA reports.
    std::optional<std::string> exchangeBody(const std::string& host, std::uint16_t port,
                                            const std::string& path, const std::string& clientId,
                                            const std::string& clientSecret) const;
    void run(endpoint_t endpoint) noexcept;
    std::chrono::milliseconds retrieveAndPublish(const endpoint_t& endpoint);
    /// False when stopping was requested before the pause ended.
    bool pause(std::chrono::milliseconds duration);
    std::chrono::system_clock::time_point now() const;
    void wakeTokenWaiters();

    auth_exchange_t exchange_;
    const auth_token_timing_t timing_;

    mutable std::shared_mutex token_mutex_;  // guards token_
    std::string token_;
    // Waits on the shared side of token_mutex_, so a publication cannot slip in between a
    // waiter's check and its wait.
    mutable std::condition_variable_any token_cv_;

    std::atomic<bool> running_{false};
    std::mutex stop_mutex_;  // running_ changes to false under it, so no stop is missed
    std::condition_variable stop_cv_;

    std::mutex lifecycle_mutex_;  // serialises start and stop around worker_
    std::thread worker_;
};
