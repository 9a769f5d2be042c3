#pragma once
// A scriptable HTTP/1.1 server on 127.0.0.1 with an ephemeral port, plain or TLS, for tests of
// the network clients and of everything that sends through them. Each request is answered with
// the next scripted reply (status, fields, body, a delay, closing afterwards, or raw bytes) and
// recorded as it arrived. A TLS server can be restricted in protocol version and cipher suites
// or made to accept TCP connections without ever answering the handshake.
//
// Also here: the process's test PKI (one CA that every TLS test of a process trusts, because the
// clients choose their CA bundle once per process), a local tinyproxy, and a way to run a check
// in a fresh process for values that are settled once per process.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rest/HttpUtils.h"
#include "tools/pki/pki.h"

namespace test_server {

/// One scripted answer.
struct reply_t {
    int status = 200;
    HttpFields headers;  // sent in this order, before the "Content-Length" the server adds
    std::string body;
    std::chrono::milliseconds delay{0};  // wait before answering
    bool close_after = false;            // close the connection once the reply is written
    std::optional<std::string> raw;      // written as it is instead of a formed response
};

/// Builders of scripted answers (designated initializers of reply_t warn under -Wextra).
inline reply_t reply(int status, std::string body = {}, HttpFields headers = {}) {
    reply_t r;
    r.status = status;
    r.body = std::move(body);
    r.headers = std::move(headers);
    return r;
}
inline reply_t raw_reply(std::string bytes) {
    reply_t r;
    r.raw = std::move(bytes);
    return r;
}
inline reply_t delayed(reply_t r, std::chrono::milliseconds delay) {
    r.delay = delay;
    return r;
}
inline reply_t closing(reply_t r) {
    r.close_after = true;
    return r;
}

/// One request as the server received it.
struct recorded_request_t {
    std::string method;
    std::string target;
    HttpFields headers;  // in wire order
    std::string body;
    std::size_t connection = 0;  // 1-based number of the connection it came on
};

enum class tls_version { tls1_1, tls1_2, tls1_3 };

struct tls_options_t {
    ximora::pki::issued_t identity;  // certificate and key the server presents
    std::optional<tls_version> min_version;
    std::optional<tls_version> max_version;
    std::string cipher_list;          // TLS 1.2 and older; empty: OpenSSL's default
    bool answer_handshake = true;     // false: accept TCP and stay silent
};

/// What the server saw of one TLS connection.
struct tls_connection_t {
    bool handshake_done = false;
    std::string protocol;     // "TLSv1.2"
    std::string cipher;       // OpenSSL name of the suite
    std::string server_name;  // SNI sent by the client, empty when none
    bool session_reused = false;
};

struct options_t {
    std::optional<tls_options_t> tls;
    bool close_on_accept = false;  // every TCP connection is closed at once
    reply_t default_reply;         // answer when the script has run out
};

class TestServer {
public:
    explicit TestServer(options_t options = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const;

    /// Appends to the script; requests take replies in order, whatever their connection.
    void push(reply_t reply);

    std::vector<recorded_request_t> requests() const;
    /// TCP connections accepted so far.
    std::size_t connections() const;
    /// One entry per accepted TLS connection, in order of acceptance.
    std::vector<tls_connection_t> tls_connections() const;
    /// Waits until at least `count` connections were accepted; whether they were.
    bool wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) const;

    /// Defined in test_server.cpp.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---- the process's test PKI ----

/// Minted once per process: a CA and a server certificate for 127.0.0.1 and localhost.
const ximora::pki::tls_bundle_t& process_pki();
/// PEM file of the process CA, written once per process.
std::string process_ca_bundle_path();
/// Points the CABundleFile setting at the process CA. Call before the first TLS client of the
/// process is built: the clients settle their CA bundle once.
void use_process_ca_bundle();
/// TLS options presenting the process's server certificate.
tls_options_t process_tls();
/// A server identity issued by the process CA with the given common name and alternative
/// names ("DNS:...", "IP:..."). The clients accept RSA-authenticated suites only.
ximora::pki::issued_t issue_server_identity(
    const std::string& common_name, const std::vector<std::string>& alt_names,
    const ximora::pki::key_spec_t& key = ximora::pki::RSA_2048);

// ---- tinyproxy ----

/// A tinyproxy on a free loopback port, allowing 127.0.0.1 and CONNECT to any port, logging
/// connections. Stopped (by its process id) on destruction. Throws when it cannot be started.
class TinyProxy {
public:
    TinyProxy();
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    std::uint16_t port() const { return port_; }
    /// The proxy's log so far.
    std::string log() const;

private:
    void stop() noexcept;

    std::string dir_;
    std::uint16_t port_ = 0;
    int pid_ = -1;
};

// ---- fresh processes ----

/// Runs `check` in a new process of the test program (gtest's thread-safe death test style),
/// so values settled once per process (proxy, CA bundle, log level, host check) start unset.
/// `check` returns an empty text on success, otherwise what went wrong, which is reported.
void expect_in_fresh_process(const std::function<std::string()>& check);

}  // namespace test_server
