#pragma once
// The client that carries every request of the plug-in: an HttpClient whose connection is
// secured with TLS 1.2 and AES-GCM suites, with the server certificate verified against the
// process's CA bundle and, unless switched off, against the server's host name or IP address.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "rest/HttpClient.h"

typedef struct x509_store_ctx_st X509_STORE_CTX;

class HttpsClient : public HttpClient {
public:
    /// Does not connect. Raises system_error "load_verify_file" when the process's CA bundle
    /// cannot be loaded.
    HttpsClient(const std::string& host, std::uint16_t port, std::uint32_t timeoutSec);
    ~HttpsClient() override;

    bool hasConnectPostProcessing() const override;
    using HttpClient::connect;  // the retrying connect loop
    /// TCP connection (or proxy tunnel), then the handshake. A rejected server certificate
    /// raises std::runtime_error "HttpsClient::verify_certificate() failed: ...".
    void connect() override;
    void send(const HttpRequest& request) override;
    HttpResponse recv() override;

    /// The TLS handshake over the open TCP connection, under sslHandshakeTimeout(). Every call
    /// starts a new TLS session.
    void connect_handshake();
    /// OpenSSL's verdict on one certificate of the server's chain. A rejection is recorded on
    /// the client and raised by connect_handshake() once the handshake has returned, so that
    /// nothing unwinds through OpenSSL. Never raises.
    bool verify_certificate(bool preverified, X509_STORE_CTX* context) noexcept;

    static constexpr int sslHandshakeTimeout() { return HTTP_STEP_TIMEOUT_SEC; }

    /// TLS state of one client, defined in HttpsClient.cpp.
    struct Impl;

private:
    std::unique_ptr<Impl> tls_;
};

/// The error found while choosing the process's CA bundle; empty when one is usable.
std::optional<std::string> isValidSSLClientConfiguration();

/// Sets `path` to the process's CA bundle and returns the error of choosing it. The first call
/// settles both from the settings and the built-in locations; later calls only copy them.
std::optional<std::string> getCAFile(std::string& path);

/// Why `path` is not a usable CA bundle (`description` names where it came from); empty when
/// it is usable.
std::optional<std::string> isCAFileValid(const std::string& path, const std::string& description);
