#include "rest/AuthTokenRetriever.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <cmath>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "config/SimpleLogger.h"
#include "rest/HttpUtils.h"
#include "rest/base64.h"

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

constexpr int FIRST_SUCCESS_STATUS = 200;
constexpr int LAST_SUCCESS_STATUS = 299;
constexpr int FIRST_CLIENT_ERROR_STATUS = 400;
constexpr int LAST_CLIENT_ERROR_STATUS = 499;
constexpr char TOKEN_PART_SEPARATOR = '.';
constexpr std::size_t TOKEN_PARTS = 3;

constexpr const char* FAILED = "Authentication token retrieval failed";
constexpr const char* MISSING_DATA = "Authentication token retrieval failed due to missing data (";
constexpr const char* INVALID_DATA = "Authentication token retrieval failed due to invalid data (";

template <typename... Parts>
void log_at(SimpleLogger::ELevel level, const Parts&... parts) {
    if (SimpleLogger::logLevel() <= level) {
        SimpleLogger logger(level);
        (logger << ... << parts);
    }
}

// Overwrites a string holding a secret before its memory goes back to the allocator.
struct wiped_string {
    std::string text;
    ~wiped_string() { OPENSSL_cleanse(text.data(), text.size()); }
};

std::string basic_credentials(const std::string& clientId, const std::string& clientSecret) {
    wiped_string joined{clientId + ":" + clientSecret};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(joined.text.data());
    return "Basic " + base64_encode(std::span(bytes, joined.text.size()));
}

HttpRequest build_token_request(const std::string& host, const std::string& path,
                                const std::string& clientId, const std::string& clientSecret) {
    const std::string body = auth_token::FORM_BODY;
    HttpRequest request;
    request.setMethod(HttpRequest::Method::POST);
    request.setVersion(HttpRequest::HTTP_1_1);
    // An empty target would make the request line malformed; the root is what it means.
    request.setURL(path.empty() ? "/" : path);
    request.setHeader("User-Agent", auth_token::USER_AGENT);
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    request.setHeader("Accept", "application/json");
    request.setHeader("Host", host);
    if (!clientId.empty() && !clientSecret.empty()) {
        wiped_string credentials{basic_credentials(clientId, clientSecret)};
        request.setHeader("Authorization", credentials.text);
    }
    request.setHeader("Content-Length", std::to_string(body.size()));
    request.setBody(body);
    return request;
}

// The "access_token" member of a token reply, empty (logged) when there is none usable.
std::string access_token_of(const std::string& body) {
    const json reply = json::parse(body, nullptr, false);
    if (reply.is_discarded()) {
        log_at(SimpleLogger::error, FAILED, ": the reply is not JSON");
        return {};
    }
    std::string token;
    try {
        token = reply.at("access_token").get<std::string>();
    } catch (const json::out_of_range& e) {
        log_at(SimpleLogger::error, MISSING_DATA, e.what(), ")");
        return {};
    } catch (const json::type_error& e) {
        log_at(SimpleLogger::error, INVALID_DATA, e.what(), ")");
        return {};
    }
    // Every request would fail to build its "Authorization" field with such a token.
    if (!HttpUtils::isValidFieldValue(token)) {
        log_at(SimpleLogger::error, FAILED, ": the token cannot be sent in a header field");
        return {};
    }
    return token;
}

void log_unreadable_expiry(const std::string& reason) {
    log_at(SimpleLogger::warning, MISSING_DATA, reason, ")");
}

// The "exp" of the token's payload in seconds since the epoch; nullopt (logged) when the
// token is not three dot-separated parts or its payload carries no readable number.
std::optional<double> token_expiry(const std::string& token) {
    if (std::count(token.begin(), token.end(), TOKEN_PART_SEPARATOR) != TOKEN_PARTS - 1) {
        log_at(SimpleLogger::warning, FAILED, " due to missing invalid format");
        return std::nullopt;
    }
    const std::size_t payload_start = token.find(TOKEN_PART_SEPARATOR) + 1;
    const std::size_t payload_end = token.find(TOKEN_PART_SEPARATOR, payload_start);
    const auto payload = base64url_decode(
        std::string_view(token).substr(payload_start, payload_end - payload_start));
    if (!payload) {
        log_unreadable_expiry("the payload is not base64url");
        return std::nullopt;
    }
    const json claims = json::parse(payload->begin(), payload->end(), nullptr, false);
    if (claims.is_discarded()) {
        log_unreadable_expiry("the payload is not JSON");
        return std::nullopt;
    }
    try {
        const json& exp = claims.at("exp");
        if (!exp.is_number() || !std::isfinite(exp.get<double>())) {
            log_unreadable_expiry("\"exp\" is not a number");
            return std::nullopt;
        }
        return exp.get<double>();
    } catch (const json::exception& e) {
        log_unreadable_expiry(e.what());
        return std::nullopt;
    }
}

}  // namespace

std::chrono::milliseconds token_renewal_pause(const std::string& token,
                                              std::chrono::system_clock::time_point now,
                                              std::chrono::milliseconds retryPause) {
    const std::optional<double> expiry = token_expiry(token);
    if (!expiry) {
        return retryPause;
    }
    using seconds_d = std::chrono::duration<double>;
    const double left =
        *expiry - std::chrono::duration_cast<seconds_d>(now.time_since_epoch()).count();
    const double margin = seconds_d(auth_token::RENEWAL_MARGIN).count();
    if (!(left >= margin)) {
        return retryPause;
    }
    const double longest = seconds_d(auth_token::MAX_WAIT).count();
    const auto pause =
        std::chrono::duration_cast<milliseconds>(seconds_d(std::min(left - margin, longest)));
    // A token service that issues tokens for just over the margin must not be asked in a loop.
    return std::max(pause, retryPause);
}

AuthTokenRetriever::AuthTokenRetriever(auth_exchange_t exchange, auth_token_timing_t timing)
    : exchange_(std::move(exchange)), timing_(std::move(timing)) {}

AuthTokenRetriever::~AuthTokenRetriever() {
    try {
        stopAuthTokenRetrieval();
    } catch (...) {
        // Nothing sensible is left to do at unload.
    }
}

void AuthTokenRetriever::setExchange(auth_exchange_t exchange) {
    std::lock_guard lock(lifecycle_mutex_);
    if (running_) {
        throw std::logic_error("AuthTokenRetriever: the exchange cannot change while running");
    }
    exchange_ = std::move(exchange);
}

std::optional<std::string> AuthTokenRetriever::exchangeBody(const std::string& host,
                                                            std::uint16_t port,
                                                            const std::string& path,
                                                            const std::string& clientId,
                                                            const std::string& clientSecret) const {
    if (!exchange_) {
        throw std::logic_error("AuthTokenRetriever: no HTTPS exchange installed");
    }
    const HttpRequest request = build_token_request(host, path, clientId, clientSecret);
    HttpResponse response;
    try {
        response = exchange_(host, port, auth_token::READ_TIMEOUT_SEC, request);
    } catch (const boost::system::system_error& e) {
        log_at(SimpleLogger::info, FAILED, " with code ", e.code(), " (", e.what(), ")");
        return std::nullopt;
    } catch (const std::system_error& e) {
        log_at(SimpleLogger::info, FAILED, " with code ", e.code().category().name(), ":",
               e.code().value(), " (", e.what(), ")");
        return std::nullopt;
    }
    const int status = response.getStatus();
    if (status >= FIRST_SUCCESS_STATUS && status <= LAST_SUCCESS_STATUS) {
        return response.getBody();
    }
    if (status >= FIRST_CLIENT_ERROR_STATUS && status <= LAST_CLIENT_ERROR_STATUS) {
        log_at(SimpleLogger::error, FAILED, " with HTTP code ", status, " (", response.getBody(),
               ")");
    }
    return std::nullopt;
}

std::string AuthTokenRetriever::sendRequestToUAA(const std::string& host, std::uint16_t port,
                                                 const std::string& path,
                                                 const std::string& clientId,
                                                 const std::string& clientSecret) const {
    return exchangeBody(host, port, path, clientId, clientSecret).value_or(std::string());
}

bool AuthTokenRetriever::fetchAuthTokenConfig(std::string& host, std::uint16_t& port,
                                              std::string& path) {
    // Raises for a reply that is not JSON, the empty body of a failed request included.
    const json document = json::parse(sendRequestToUAA(host, port, path, "", ""));
    std::string endpoint;
    try {
        endpoint = document.at("token_endpoint").get<std::string>();
    } catch (const json::out_of_range& e) {
        log_at(SimpleLogger::error, MISSING_DATA, e.what(), ")");
        return false;
    } catch (const json::type_error& e) {
        log_at(SimpleLogger::error, INVALID_DATA, e.what(), ")");
        return false;
    }
    if (!HttpUtils::parseURI(endpoint, host, port, path)) {
        log_at(SimpleLogger::error, "Failed to parse URI");
        return false;
    }
    return true;
}

std::string AuthTokenRetriever::retrieveAuthToken(const std::string& host, std::uint16_t port,
                                                  const std::string& path,
                                                  const std::string& clientId,
                                                  const std::string& clientSecret) const {
    try {
        const std::optional<std::string> body =
            exchangeBody(host, port, path, clientId, clientSecret);
        return body ? access_token_of(*body) : std::string();
    } catch (const std::exception& e) {
        // A rejected server certificate, for one: the worker tries again later.
        log_at(SimpleLogger::error, FAILED, ": ", e.what());
    } catch (...) {
        log_at(SimpleLogger::error, FAILED);
    }
    return {};
}

bool AuthTokenRetriever::startAuthTokenRetrieval(const std::string& host, std::uint16_t port,
                                                 const std::string& path,
                                                 const std::string& clientId,
                                                 const std::string& clientSecret) {
    if (host.empty() || port == 0 || path.empty() || clientId.empty() || clientSecret.empty()) {
        throw std::runtime_error("Incomplete authentication token configuration");
    }
    std::lock_guard lock(lifecycle_mutex_);
    if (!exchange_) {
        throw std::logic_error("AuthTokenRetriever: no HTTPS exchange installed");
    }
    bool was_running = false;
    if (!running_.compare_exchange_strong(was_running, true)) {
        return true;
    }
    try {
        worker_ = std::thread(&AuthTokenRetriever::run, this,
                              endpoint_t{host, port, path, clientId, clientSecret});
    } catch (...) {
        running_ = false;
        throw;
    }
    return false;
}

std::string AuthTokenRetriever::getCurrentAuthToken() const {
    std::shared_lock lock(token_mutex_);
    return token_;
}

void AuthTokenRetriever::setCurrentAuthToken(const std::string& token) {
    {
        std::unique_lock lock(token_mutex_);
        token_ = token;
    }
    token_cv_.notify_all();
}

std::string AuthTokenRetriever::waitForCurrentAuthToken(std::chrono::milliseconds timeout) const {
    std::shared_lock lock(token_mutex_);
    if (running_ && token_.empty()) {
        const auto bounded =
            std::min(timeout, std::chrono::duration_cast<milliseconds>(auth_token::MAX_WAIT));
        token_cv_.wait_for(lock, bounded, [this] { return !token_.empty() || !running_; });
    }
    return token_;
}

void AuthTokenRetriever::stopAuthTokenRetrieval() {
    std::lock_guard lock(lifecycle_mutex_);
    if (!worker_.joinable()) {
        return;
    }
    {
        std::lock_guard stop_lock(stop_mutex_);
        running_ = false;
    }
    stop_cv_.notify_all();
    wakeTokenWaiters();
    worker_.join();
    setCurrentAuthToken("");
}

void AuthTokenRetriever::wakeTokenWaiters() {
    // Passing through the exclusive side means every waiter that saw the worker running is
    // already waiting, so the notification reaches it.
    { std::unique_lock lock(token_mutex_); }
    token_cv_.notify_all();
}

std::chrono::system_clock::time_point AuthTokenRetriever::now() const {
    return timing_.now ? timing_.now() : std::chrono::system_clock::now();
}

void AuthTokenRetriever::run(endpoint_t endpoint) noexcept {
    while (running_) {
        milliseconds next = timing_.retryPause;
        try {
            next = retrieveAndPublish(endpoint);
        } catch (...) {
            // Only allocation can fail here; the next attempt may fare better.
        }
        if (!pause(next)) {
            break;
        }
    }
    OPENSSL_cleanse(endpoint.clientSecret.data(), endpoint.clientSecret.size());
}

std::chrono::milliseconds AuthTokenRetriever::retrieveAndPublish(const endpoint_t& endpoint) {
    const std::string token = retrieveAuthToken(endpoint.host, endpoint.port, endpoint.path,
                                                endpoint.clientId, endpoint.clientSecret);
    if (token.empty()) {
        return timing_.retryPause;  // the previous token, if any, stays in use
    }
    const milliseconds next = token_renewal_pause(token, now(), timing_.retryPause);
    setCurrentAuthToken(token);  // even when its expiry could not be read
    return next;
}

bool AuthTokenRetriever::pause(std::chrono::milliseconds duration) {
    if (timing_.onPause) {
        try {
            timing_.onPause(duration);
        } catch (...) {
            // An observer has no say in the worker's timing.
        }
    }
    std::unique_lock lock(stop_mutex_);
    return !stop_cv_.wait_for(lock, duration, [this] { return !running_; });
}
