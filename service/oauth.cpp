#include "service/oauth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "service/base64.h"
#include "service/json_reply.h"

namespace service {
namespace {

constexpr std::string_view BASIC_PREFIX = "Basic ";
constexpr char JWT_HEADER[] = R"({"alg":"HS256","typ":"JWT"})";
constexpr std::size_t JTI_SIZE = 12;
constexpr std::size_t HMAC_SIZE = 32;

http_reply_t oauth_error(unsigned status, const char* error) {
    auto reply = json_reply(status, {{"error", error}});
    if (status == 401) {
        reply.headers.emplace_back("WWW-Authenticate", "Basic");
    }
    return reply;
}

// The form fields of an urlencoded body; values of interest here need no decoding.
std::optional<std::string> form_field(std::string_view body, std::string_view name) {
    while (!body.empty()) {
        const auto end = body.find('&');
        const auto pair = body.substr(0, end);
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
        if (end == std::string_view::npos) {
            break;
        }
        body.remove_prefix(end + 1);
    }
    return std::nullopt;
}

bool same_secret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

oauth_stand_in::oauth_stand_in(oauth_options_t options, clock_fn clock)
    : options_(std::move(options)), clock_(clock ? std::move(clock) : clock_fn(system_seconds)) {
    revoke_all();
}

std::optional<http_reply_t> oauth_stand_in::route(const http_request_t& request) {
    if (request.target == OAUTH_CONFIG_TARGET) {
        if (request.method != "GET" && request.method != "POST") {
            return oauth_error(405, "invalid_request");
        }
        return configuration(request);
    }
    if (request.target == OAUTH_TOKEN_TARGET) {
        if (request.method != "POST") {
            return oauth_error(405, "invalid_request");
        }
        return token(request);
    }
    return std::nullopt;
}

// Names the token endpoint by the host the client asked for, so its TLS check matches.
http_reply_t oauth_stand_in::configuration(const http_request_t& request) const {
    auto host = find_header(request.headers, "Host").value_or("127.0.0.1");
    host = host.substr(0, host.find(':'));
    const auto base = "https://" + host + ":" + std::to_string(port_.load());
    return json_reply(200, {{"issuer", base},
                            {"token_endpoint", base + OAUTH_TOKEN_TARGET},
                            {"grant_types_supported", {"client_credentials"}}});
}

http_reply_t oauth_stand_in::token(const http_request_t& request) {
    const std::string_view body(reinterpret_cast<const char*>(request.body.data()),
                                request.body.size());
    auto authorization = find_header(request.headers, "Authorization");
    if (!authorization || !authorization->starts_with(BASIC_PREFIX)) {
        return oauth_error(401, "invalid_client");
    }
    auto credentials = base64_decode(std::string_view(*authorization).substr(BASIC_PREFIX.size()));
    if (!credentials ||
        !same_secret(*credentials, options_.client_id + ":" + options_.client_secret)) {
        return oauth_error(401, "invalid_client");
    }
    if (form_field(body, "grant_type") != "client_credentials") {
        return oauth_error(400, "unsupported_grant_type");
    }
    return json_reply(200, {{"access_token", issue_token()},
                            {"token_type", "bearer"},
                            {"expires_in", options_.token_lifetime_seconds}});
}

std::string oauth_stand_in::issue_token() {
    std::array<std::uint8_t, JTI_SIZE> jti{};
    crypto::random_bytes(jti);
    const auto now = clock_();
    const nlohmann::json payload = {{"iss", "ximora-service"},
                                    {"sub", options_.client_id},
                                    {"iat", now},
                                    {"exp", now + options_.token_lifetime_seconds},
                                    {"jti", base64url_encode(std::string(jti.begin(), jti.end()))}};
    const auto signed_part = base64url_encode(JWT_HEADER) + "." + base64url_encode(payload.dump());
    return signed_part + "." + base64url_encode(signature(signed_part));
}

bool oauth_stand_in::accepts(std::string_view token) const {
    const auto last_dot = token.rfind('.');
    const auto first_dot = token.find('.');
    if (first_dot == std::string_view::npos || first_dot == last_dot) {
        return false;
    }
    const auto signed_part = token.substr(0, last_dot);
    const auto presented = base64url_decode(token.substr(last_dot + 1));
    const auto expected = signature(signed_part);
    if (!presented || expected.empty() || !same_secret(*presented, expected)) {
        return false;
    }
    const auto payload = base64url_decode(token.substr(first_dot + 1, last_dot - first_dot - 1));
    if (!payload) {
        return false;
    }
    const auto claims = nlohmann::json::parse(*payload, nullptr, false);
    return claims.is_object() && claims.contains("exp") && claims["exp"].is_number_integer() &&
           claims["exp"].get<std::int64_t>() > clock_();
}

void oauth_stand_in::revoke_all() {
    std::lock_guard lock(mutex_);
    crypto::random_bytes(key_.bytes);
}

std::string oauth_stand_in::signature(std::string_view signed_part) const {
    std::array<unsigned char, HMAC_SIZE> mac{};
    std::size_t length = 0;
    std::lock_guard lock(mutex_);
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key_.bytes.data(), key_.bytes.size(),
                  reinterpret_cast<const unsigned char*>(signed_part.data()), signed_part.size(),
                  mac.data(), mac.size(), &length) == nullptr) {
        return {};
    }
    return std::string(mac.begin(), mac.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace service
