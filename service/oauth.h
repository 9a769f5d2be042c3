#pragma once
// The OAuth stand-in: a token-configuration document naming the token endpoint, and a
// client-credentials token endpoint that checks Basic credentials and issues JWT-shaped
// tokens carrying "exp", signed with a key of this process. /vHSM then accepts only requests
// bearing such a token that has not expired.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "service/crypto.h"
#include "service/engine.h"

namespace service {

inline constexpr char OAUTH_CONFIG_TARGET[] = "/.well-known/openid-configuration";
inline constexpr char OAUTH_TOKEN_TARGET[] = "/oauth/token";

struct oauth_options_t {
    std::string client_id = "ximora-client";
    std::string client_secret = "ximora-secret";
    std::int64_t token_lifetime_seconds = 12 * 3600;
};

class oauth_stand_in {
  public:
    explicit oauth_stand_in(oauth_options_t options = {}, clock_fn clock = {});

    /// Answers the two OAuth targets; nullopt for any other target.
    std::optional<http_reply_t> route(const http_request_t& request);
    /// True for a token issued here, unrevoked and not expired.
    bool accepts(std::string_view token) const;

    /// The port the endpoint names in the configuration document (the server's own).
    void set_port(std::uint16_t port) { port_ = port; }
    /// A token as the token endpoint would issue it.
    std::string issue_token();
    /// Invalidates every token issued so far.
    void revoke_all();
    const oauth_options_t& options() const { return options_; }

  private:
    http_reply_t configuration(const http_request_t& request) const;
    http_reply_t token(const http_request_t& request);
    std::string signature(std::string_view signed_part) const;

    oauth_options_t options_;
    clock_fn clock_;
    std::atomic<std::uint16_t> port_{0};
    mutable std::mutex mutex_;  // guards key_
    crypto::secret_t<32> key_;
};

}  // namespace service
