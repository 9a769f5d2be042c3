#pragma once
// Network state of HttpClient and the steps it shares with HttpsClient. Internal to rest/: it
// brings in Asio and Beast, which the public client headers keep out.

#include <ostream>  // Beast 1.74 streams without including <ostream> itself

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "rest/HttpClient.h"

namespace http_client_detail {

using step_clock = std::chrono::steady_clock;

/// Limits of one response: the status line and fields, and the body.
inline constexpr std::uint32_t RESPONSE_HEADER_LIMIT = 8 * 1024;
inline constexpr std::uint64_t RESPONSE_BODY_LIMIT = 8 * 1024 * 1024;

/// What one network step ended with. Shared with its completion handler so that a handler
/// left behind by an abandoned name lookup never writes into a finished frame.
struct step_outcome_t {
    boost::system::error_code ec =
        make_error_code(boost::system::errc::resource_unavailable_try_again);
    bool done = false;
};

/// Completion handler of every step: records the error and marks the step done.
struct step_handler_t {
    std::shared_ptr<step_outcome_t> outcome;

    template <typename... Results>
    void operator()(const boost::system::error_code& ec, Results&&...) const {
        outcome->ec = ec;
        outcome->done = true;
    }
};

using wire_request_t = boost::beast::http::request<boost::beast::http::span_body<const char>>;
using wire_response_t = boost::beast::http::response<boost::beast::http::string_body>;

/// The request as it goes on the wire: "Content-Length" last, from the body; the body is not
/// copied, so `request` must outlive the result.
wire_request_t to_wire(const HttpRequest& request);
/// Raises a read error for a field the value type refuses.
HttpResponse from_wire(wire_response_t&& message);

}  // namespace http_client_detail

struct HttpClient::Impl {
    using step_clock = http_client_detail::step_clock;
    using step_outcome_t = http_client_detail::step_outcome_t;

    Impl(std::string host_, std::uint16_t port_, std::int32_t timeout_);

    /// Runs this client's handlers on the calling thread until the step is done or `duration`
    /// has passed. A passed deadline closes the socket, which completes the step with operation
    /// cancelled, and the handlers run on until the step has finished. Raises "close" when the
    /// socket cannot be closed.
    void run(step_clock::duration duration, const step_outcome_t& outcome);

    /// Starts one step, runs it under `duration` and gives its outcome. A failed step closes
    /// the socket: the connection is in an unknown state and must not be lent again.
    template <typename Start>
    boost::system::error_code run_step_ec(step_clock::duration duration, Start&& start) {
        auto outcome = std::make_shared<step_outcome_t>();
        std::forward<Start>(start)(http_client_detail::step_handler_t{outcome});
        run(duration, *outcome);
        if (outcome->ec) {
            close_socket();
        }
        return outcome->ec;
    }

    /// As run_step_ec, raising system_error(ec, what) when the step failed.
    template <typename Start>
    void run_step(step_clock::duration duration, const char* what, Start&& start) {
        if (const auto ec = run_step_ec(duration, std::forward<Start>(start))) {
            throw boost::system::system_error(ec, what);
        }
    }

    /// Name lookup under the connect deadline; empty (after a log line) on failure, never raises.
    boost::asio::ip::tcp::resolver::results_type resolve(const std::string& name,
                                                         const std::string& service);

    /// Writes one request on `stream` under the write deadline.
    template <typename Stream>
    void write_request(Stream& stream, const HttpRequest& request) {
        auto message = http_client_detail::to_wire(request);
        run_step(deadlines.write, "write", [&](auto handler) {
            boost::beast::http::async_write(stream, message, std::move(handler));
        });
    }

    /// Reads one complete response from `buffer` and `stream` within `duration`.
    template <typename Stream>
    HttpResponse read_response(Stream& stream, boost::beast::flat_buffer& from,
                               step_clock::duration duration) {
        boost::beast::http::response_parser<boost::beast::http::string_body> parser;
        parser.header_limit(http_client_detail::RESPONSE_HEADER_LIMIT);
        parser.body_limit(http_client_detail::RESPONSE_BODY_LIMIT);
        run_step(duration, "read", [&](auto handler) {
            boost::beast::http::async_read(stream, from, parser, std::move(handler));
        });
        try {
            return http_client_detail::from_wire(parser.release());
        } catch (...) {
            close_socket();
            throw;
        }
    }

    /// Forgets the previous connection: its socket, its unread bytes and its flag.
    void reset_connection();
    void close_socket() noexcept;

    boost::asio::io_context io;  // first member: the objects below use it until they go
    boost::asio::ip::tcp::socket socket{io};
    boost::asio::ip::tcp::resolver resolver{io};
    boost::beast::flat_buffer buffer;  // bytes read but not yet used, kept across responses
    std::string host;
    std::uint16_t port;
    std::int32_t timeout;
    mutable bool connected = false;  // isConnected() clears it when it finds the socket closed
    StepDeadlines deadlines;
};
