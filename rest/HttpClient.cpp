#include "rest/HttpClientImpl.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/http/empty_body.hpp>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "config/SimpleLogger.h"
#include "rest/plugin_state_source.h"
#include "rest/proxy.h"

namespace http = boost::beast::http;
using boost::asio::ip::tcp;
using http_client_detail::step_clock;

namespace {

// Sent on the CONNECT request, as the service's own tools do.
const char* const PROXY_USER_AGENT = "curl/7.35.0";
const char* const PROXY_CONNECTION_HDR = "Proxy-Connection";
const char* const CONTENT_LENGTH_HDR = "Content-Length";
constexpr unsigned PROXY_SUCCESS_CLASS = 2;  // 2xx: the tunnel is open
constexpr unsigned STATUS_CLASS_DIVISOR = 100;
// A pause between connect attempts is cut into slices so that finalising ends it promptly.
constexpr std::chrono::milliseconds CONNECT_PAUSE_SLICE{50};
constexpr std::size_t LOGGED_TARGET_LENGTH = 64;
const char* const VERIFY_FAILURE_MARK = "HttpsClient::verify_certificate";

void log_trace(const char* text) {
    if (SimpleLogger::logLevel() <= SimpleLogger::trace) {
        SimpleLogger(SimpleLogger::trace)() << text;
    }
}

std::int32_t effective_timeout(std::uint32_t timeoutSec) {
    const auto timeout = static_cast<std::int32_t>(timeoutSec);
    return timeout <= 0 ? 1 : timeout;
}

// Sleeps intervalMs, or less when the plug-in starts finalising meanwhile.
void pause_between_attempts(int intervalMs) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(std::max(intervalMs, 0));
    while (rest_plugin_state() != REST_PLUGIN_FINALISING) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(end - now, CONNECT_PAUSE_SLICE));
    }
}

void log_connect_failure(const HttpClient& client, const std::string* suffix,
                         const std::string* message) {
    if (SimpleLogger::logLevel() > SimpleLogger::warning) {
        return;
    }
    SimpleLogger logger(SimpleLogger::warning);
    logger() << "connect(): Failed to connect" << " to: " << client.getHost() << ":"
             << client.getPort();
    if (suffix != nullptr) {
        logger << *suffix;
    }
    if (message != nullptr) {
        logger << " with message: " << *message;
    }
}

}  // namespace

HttpClient::Impl::Impl(std::string host_, std::uint16_t port_, std::int32_t timeout_)
    : host(std::move(host_)), port(port_), timeout(timeout_) {}

void HttpClient::Impl::run(step_clock::duration duration, const step_outcome_t& outcome) {
    io.restart();
    const auto deadline = step_clock::now() + duration;
    while (!outcome.done && io.run_one_until(deadline) != 0) {
    }
    if (outcome.done) {
        return;
    }
    boost::system::error_code ec;
    socket.close(ec);
    if (ec) {
        throw boost::system::system_error(ec, "close");
    }
    io.restart();
    while (!outcome.done && io.run_one() != 0) {
    }
}

tcp::resolver::results_type HttpClient::Impl::resolve(const std::string& name,
                                                      const std::string& service) {
    // The lookup runs in Asio's resolver thread; its handler only touches the shared outcome,
    // so an abandoned lookup may finish later without harm.
    struct lookup_t : step_outcome_t {
        tcp::resolver::results_type results;
    };
    auto lookup = std::make_shared<lookup_t>();
    resolver.async_resolve(name, service, tcp::resolver::address_configured,
                           [lookup](const boost::system::error_code& ec,
                                    tcp::resolver::results_type results) {
                               lookup->ec = ec;
                               lookup->results = std::move(results);
                               lookup->done = true;
                           });
    io.restart();
    const auto deadline = step_clock::now() + deadlines.connect;
    while (!lookup->done && io.run_one_until(deadline) != 0) {
    }
    boost::system::error_code ec = lookup->ec;
    if (!lookup->done) {
        resolver.cancel();
        ec = boost::asio::error::operation_aborted;
    }
    if (!ec) {
        return lookup->results;
    }
    if (SimpleLogger::logLevel() <= SimpleLogger::error) {
        SimpleLogger(SimpleLogger::error)() << "resolve(): Failed to resolve " << name << ":"
                                            << service << " (" << ec.message() << ")";
    }
    return {};
}

void HttpClient::Impl::reset_connection() {
    close_socket();
    buffer.consume(buffer.size());
    connected = false;
}

void HttpClient::Impl::close_socket() noexcept {
    boost::system::error_code ignored;
    socket.close(ignored);
}

HttpClient::HttpClient(const std::string& host, std::uint16_t port, std::uint32_t timeoutSec)
    : impl_(std::make_unique<Impl>(host, port, effective_timeout(timeoutSec))) {}

HttpClient::~HttpClient() = default;

bool HttpClient::hasConnectPostProcessing() const { return false; }

void HttpClient::connect() {
    log_trace("HttpClient::connect()");
    if (isConnected()) {
        return;
    }
    impl_->reset_connection();
    if (const ClientProxy& proxy = getProcessClientProxy()) {
        connectViaProxy(proxy->first, proxy->second);
    } else {
        const auto endpoints = impl_->resolve(impl_->host, std::to_string(impl_->port));
        if (endpoints.empty()) {
            // Reported like any failed connect, so the connect loop logs it and gives up in
            // its own time instead of ending the host's process.
            const std::string text = "HttpClient::connect(): failed to resolve host: " + impl_->host;
            std::cerr << text << std::flush;
            if (SimpleLogger::logLevel() <= SimpleLogger::fatal) {
                SimpleLogger(SimpleLogger::fatal)() << text;
            }
            throw boost::system::system_error(boost::asio::error::host_not_found, text);
        }
        impl_->run_step(impl_->deadlines.connect, "connect", [&](auto handler) {
            boost::asio::async_connect(impl_->socket, endpoints, std::move(handler));
        });
    }
    if (hasConnectPostProcessing()) {
        return;  // the subclass completes the connection
    }
    setIsConnected(true);
}

void HttpClient::connect(int retryCount, int intervalMs) {
    for (int n = retryCount; n != 0 && rest_plugin_state() != REST_PLUGIN_FINALISING;) {
        std::string message;
        bool has_message = true;
        try {
            connect();
            return;
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
            has_message = false;
        }
        if (has_message && message.find(VERIFY_FAILURE_MARK) != std::string::npos) {
            log_connect_failure(*this, nullptr, &message);  // another attempt cannot help
            return;
        }
        if (n == 1) {
            const std::string suffix = " after " + std::to_string(retryCount) + " attempts" +
                                       " at an interval of " + std::to_string(intervalMs) +
                                       " milliseconds";
            log_connect_failure(*this, &suffix, has_message ? &message : nullptr);
            return;
        }
        pause_between_attempts(intervalMs);
        if (n > 0) {
            --n;  // a negative count never runs out
        }
    }
}

void HttpClient::connectViaProxy(const std::string& proxyHost, const std::string& proxyService) {
    const auto endpoints = impl_->resolve(proxyHost, proxyService);
    if (endpoints.empty()) {
        return;  // resolve() has logged it; the caller finds no connection
    }
    impl_->run_step(impl_->deadlines.connect, "connect", [&](auto handler) {
        boost::asio::async_connect(impl_->socket, endpoints, std::move(handler));
    });

    const std::string authority = impl_->host + ":" + std::to_string(impl_->port);
    http::request<http::empty_body> request{http::verb::connect, authority, HttpRequest::HTTP_1_1};
    request.set(http::field::host, authority);
    request.set(http::field::user_agent, PROXY_USER_AGENT);
    request.set(http::field::cache_control, "no-cache");
    request.set(PROXY_CONNECTION_HDR, "Keep-Alive");
    impl_->run_step(impl_->deadlines.write, "write", [&](auto handler) {
        http::async_write(impl_->socket, request, std::move(handler));
    });

    // Only the status line and fields: a 200 to CONNECT has no body, and proxies often send
    // no Content-Length with it, which would make a full read wait for the end of the stream.
    http::response_parser<http::empty_body> reply;
    reply.header_limit(http_client_detail::RESPONSE_HEADER_LIMIT);
    impl_->run_step(impl_->deadlines.proxyConnect, "read", [&](auto handler) {
        http::async_read_header(impl_->socket, impl_->buffer, reply, std::move(handler));
    });
    const unsigned status = reply.get().result_int();
    if (status / STATUS_CLASS_DIVISOR != PROXY_SUCCESS_CLASS) {
        impl_->close_socket();
        throw boost::system::system_error(
            make_error_code(boost::system::errc::connection_refused),
            "HttpClient::connectViaProxy(): proxy answered CONNECT with status " +
                std::to_string(status));
    }
}

void HttpClient::send(const HttpRequest& request) {
    log_trace("HttpClient::send()");
    impl_->write_request(impl_->socket, request);
}

HttpResponse HttpClient::recv() {
    return impl_->read_response(impl_->socket, impl_->buffer, std::chrono::seconds(impl_->timeout));
}

HttpResponse HttpClient::send_recv(const HttpRequest& request) {
    if (SimpleLogger::logLevel() <= SimpleLogger::trace) {
        SimpleLogger(SimpleLogger::trace)()
            << "HttpClient::send_recv(): " << request.getURL().substr(0, LOGGED_TARGET_LENGTH);
    }
    send(request);
    return recv();
}

const std::string& HttpClient::getHost() const { return impl_->host; }
std::uint16_t HttpClient::getPort() const { return impl_->port; }
std::int32_t HttpClient::getTimeout() const { return impl_->timeout; }
void HttpClient::setHost(const std::string& host) { impl_->host = host; }
void HttpClient::setPort(std::uint16_t port) { impl_->port = port; }

bool HttpClient::isSocketOpen() const { return impl_->socket.is_open(); }

bool HttpClient::isConnected() const {
    if (!impl_->socket.is_open()) {
        impl_->connected = false;
    }
    return impl_->connected;
}

void HttpClient::setIsConnected(bool connected) { impl_->connected = connected; }

void HttpClient::setStepDeadlinesForTesting(const StepDeadlines& deadlines) {
    impl_->deadlines = deadlines;
}

namespace http_client_detail {

namespace {

http::verb to_verb(std::optional<HttpRequest::Method> method) {
    using Method = HttpRequest::Method;
    switch (method.value_or(Method::GET)) {
        case Method::HEAD: return http::verb::head;
        case Method::POST: return http::verb::post;
        case Method::PUT: return http::verb::put;
        case Method::DELETE: return http::verb::delete_;
        case Method::CONNECT: return http::verb::connect;
        case Method::OPTIONS: return http::verb::options;
        case Method::TRACE: return http::verb::trace;
        case Method::PATCH: return http::verb::patch;
        case Method::GET: break;
    }
    return http::verb::get;
}

}  // namespace

wire_request_t to_wire(const HttpRequest& request) {
    wire_request_t message;
    message.method(to_verb(request.getMethod()));
    message.target(request.getURL());
    message.version(static_cast<unsigned>(request.getVersion()));
    for (const auto& [name, value] : request.getFields()) {
        if (!HttpUtils::fieldNameEquals(name, CONTENT_LENGTH_HDR)) {
            message.insert(name, value);
        }
    }
    const std::string& body = request.getBody();
    message.insert(CONTENT_LENGTH_HDR, std::to_string(body.size()));
    message.body() = boost::beast::span<const char>(body.data(), body.size());
    return message;
}

HttpResponse from_wire(wire_response_t&& message) {
    HttpResponse response;
    try {
        response.setVersion(static_cast<int>(message.version()));
        response.setStatus(static_cast<int>(message.result_int()));
        response.setReason(std::string(message.reason()));
        for (const auto& field : message) {
            response.addHeader(std::string(field.name_string()), std::string(field.value()));
        }
    } catch (const std::invalid_argument&) {
        throw boost::system::system_error(http::error::bad_value, "read");
    }
    response.setBody(std::move(message.body()));
    return response;
}

}  // namespace http_client_detail
