#pragma once
// A blocking HTTP/1.1 client for one host and port, optionally tunnelled through an HTTP proxy.
// Every network step runs as an asynchronous operation on the client's own I/O context, driven
// by the calling thread until it completes or its deadline passes; a passed deadline closes the
// socket, so the step fails with operation cancelled (system error 125). Network, TLS and HTTP
// failures are raised as boost::system::system_error. The network types stay in the .cpp files
// so that the driver and the pool can include this header cheaply.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "rest/HttpRequest.h"
#include "rest/HttpResponse.h"

/// Seconds allowed for each fixed network step: TCP connect (server or proxy), name
/// resolution, writing a request, reading the proxy's reply and the TLS handshake.
inline constexpr int HTTP_STEP_TIMEOUT_SEC = 5;

class HttpClient {
public:
    /// Deadlines of the fixed steps. Production clients keep the defaults; tests shorten them.
    struct StepDeadlines {
        std::chrono::milliseconds connect{std::chrono::seconds(HTTP_STEP_TIMEOUT_SEC)};
        std::chrono::milliseconds write{std::chrono::seconds(HTTP_STEP_TIMEOUT_SEC)};
        std::chrono::milliseconds proxyConnect{std::chrono::seconds(HTTP_STEP_TIMEOUT_SEC)};
        std::chrono::milliseconds handshake{std::chrono::seconds(HTTP_STEP_TIMEOUT_SEC)};
    };

    /// Does not connect. A timeout of 0, or one that is negative as a signed number, becomes 1.
    HttpClient(const std::string& host, std::uint16_t port, std::uint32_t timeoutSec);
    virtual ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    /// Whether connect() leaves the connection to be completed by a subclass (TLS).
    virtual bool hasConnectPostProcessing() const;
    /// One connection attempt; raises on failure. Returns at once when already connected.
    virtual void connect();
    /// Up to retryCount attempts (negative: without limit) intervalMs apart; never raises.
    /// Stops early on a rejected server certificate or when the plug-in is finalising.
    /// The caller learns the outcome from isConnected().
    virtual void connect(int retryCount, int intervalMs);
    /// Writes one request; "Content-Length" is set from the body.
    virtual void send(const HttpRequest& request);
    /// Reads one response within getTimeout() seconds.
    virtual HttpResponse recv();
    virtual HttpResponse send_recv(const HttpRequest& request);

    /// Opens a tunnel to this client's host and port through the proxy with a CONNECT request.
    /// A proxy name that does not resolve leaves the client without a connection and raises
    /// nothing; a proxy that answers CONNECT with a status outside 2xx raises an error.
    void connectViaProxy(const std::string& proxyHost, const std::string& proxyService);

    const std::string& getHost() const;
    std::uint16_t getPort() const;
    std::int32_t getTimeout() const;
    void setHost(const std::string& host);
    void setPort(std::uint16_t port);

    bool isSocketOpen() const;
    /// The connected flag while the socket is open; a closed socket clears it.
    bool isConnected() const;
    void setIsConnected(bool connected);

    static constexpr int connectTimeout() { return HTTP_STEP_TIMEOUT_SEC; }
    static constexpr int writeTimeout() { return HTTP_STEP_TIMEOUT_SEC; }
    static constexpr int proxyConnectTimeout() { return HTTP_STEP_TIMEOUT_SEC; }

    /// For tests only: replaces the fixed-step deadlines of this client.
    void setStepDeadlinesForTesting(const StepDeadlines& deadlines);

    /// The network state, defined in rest/HttpClientImpl.h for the TLS client.
    struct Impl;

protected:
    Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};
