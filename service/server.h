#pragma once
// The HTTPS front of the service: TLS 1.2 with the RSA certificate of a minted PKI directory,
// HTTP/1.1 keep-alive, a few I/O threads; every request goes to the engine.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "service/engine.h"
#include "service/oauth.h"
#include "service/pki_dir.h"

namespace service {

struct server_options_t {
    std::filesystem::path pki_dir;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port, see server::port()
    unsigned io_threads = 2;
    std::chrono::seconds handshake_timeout{30};
    std::chrono::seconds idle_timeout{300};  // a kept-alive connection idle this long is closed
    std::size_t body_limit = 16 * 1024 * 1024;
    engine_options_t engine;
    std::optional<std::uint16_t> control_port;  // plain-HTTP control interface on loopback
    bool oauth = false;  // serve the OAuth stand-in and require its tokens on /vHSM
    oauth_options_t oauth_options;
};

class server {
  public:
    /// Loads the PKI directory and builds the engine; throws start_error.
    explicit server(server_options_t options);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    /// Binds and starts the I/O threads; throws start_error (for instance a busy port).
    void start();
    /// Stops accepting, drops open connections and joins the threads. Idempotent.
    void stop();
    /// The port listened on, once started.
    std::uint16_t port() const;
    /// The control interface's port, when it was asked for.
    std::optional<std::uint16_t> control_port() const;
    service::engine& engine();
    /// The OAuth stand-in, or null when it is not enabled.
    oauth_stand_in* oauth();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace service
