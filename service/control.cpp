#include "service/control.h"

#include <ostream>  // Beast's headers use std::ostream without including it

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "service/json_reply.h"
#include "service/listen.h"

namespace service {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;

constexpr std::chrono::seconds CONTROL_IDLE{60};
constexpr std::size_t CONTROL_BODY_LIMIT = 64 * 1024;
constexpr unsigned HTTP_VERSION_1_1 = 11;

json counts_json(const violation_counts_t& counts) {
    return {{"unknown_tokens", counts.unknown_tokens},
            {"tag_failures", counts.tag_failures},
            {"expired_requests", counts.expired_requests},
            {"sequence_reuses", counts.sequence_reuses},
            {"saved_context_sequences", counts.saved_context_sequences},
            {"context_reuses", counts.context_reuses},
            {"context_mismatches", counts.context_mismatches},
            {"total", counts.total()}};
}

json record_json(const request_record_t& record) {
    json headers = json::array();
    for (const auto& [name, value] : record.headers) {
        headers.push_back({name, value});
    }
    return {{"method", record.method},
            {"target", record.target},
            {"headers", headers},
            {"command", record.command ? json(*record.command) : json(nullptr)},
            {"command_hex", to_hex(record.command_bytes)},
            {"command_size", record.command_size},
            {"partition", record.partition},
            {"sequence", record.sequence ? json(*record.sequence) : json(nullptr)},
            {"status", record.status},
            {"result", record.result ? json(*record.result) : json(nullptr)}};
}

template <typename T>
T field_value(const json& value, const std::string& name) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.is_boolean()) {
            throw std::invalid_argument(name + " must be true or false");
        }
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!value.is_string()) {
            throw std::invalid_argument(name + " must be a string");
        }
    } else {
        if (!value.is_number_unsigned()) {
            throw std::invalid_argument(name + " must be a non-negative integer");
        }
    }
    return value.get<T>();
}

http_reply_t handle_faults(engine& engine, const http_request_t& request) {
    if (request.method == "DELETE") {
        engine.clear_faults();
    } else if (request.method == "POST") {
        unsigned count = 1;
        auto fault = fault_from_json(std::string(request.body.begin(), request.body.end()), count);
        engine.inject(std::move(fault), count);
    } else if (request.method != "GET") {
        return json_reply(405, {{"error", "method not allowed"}});
    }
    return json_reply(200, {{"pending", engine.pending_faults()}});
}

http_reply_t route(engine& engine, oauth_stand_in* oauth, const http_request_t& request) {
    const auto& target = request.target;
    const auto& method = request.method;
    if (target == "/violations" && method == "GET") {
        return json_reply(200, counts_json(engine.violations()));
    }
    if (target == "/violations" && method == "DELETE") {
        engine.reset_violations();
        return json_reply(200, counts_json(engine.violations()));
    }
    if (target == "/faults") {
        return handle_faults(engine, request);
    }
    if (target == "/requests" && method == "GET") {
        json records = json::array();
        for (const auto& record : engine.requests()) {
            records.push_back(record_json(record));
        }
        return json_reply(200, records);
    }
    if (target == "/requests" && method == "DELETE") {
        engine.clear_requests();
        return json_reply(200, json::object());
    }
    if (target == "/oauth/revoke" && method == "POST" && oauth != nullptr) {
        oauth->revoke_all();
        return json_reply(200, json::object());
    }
    return json_reply(404, {{"error", "no such control target"}});
}

class control_session : public std::enable_shared_from_this<control_session> {
  public:
    control_session(tcp::socket&& socket, engine& engine, oauth_stand_in* oauth)
        : stream_(std::move(socket)), engine_(engine), oauth_(oauth) {}

    void run() {
        net::dispatch(stream_.get_executor(),
                      beast::bind_front_handler(&control_session::do_read, shared_from_this()));
    }

  private:
    void do_read() {
        parser_.emplace();
        parser_->body_limit(CONTROL_BODY_LIMIT);
        stream_.expires_after(CONTROL_IDLE);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&control_session::on_read, shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        if (ec) {
            return;
        }
        auto request = parser_->release();
        http_request_t plain{std::string(request.method_string()),
                             std::string(request.target()),
                             {},
                             std::move(request.body())};
        auto reply = handle_control(engine_, oauth_, plain);
        response_ = {static_cast<http::status>(reply.status), HTTP_VERSION_1_1};
        for (auto& [name, value] : reply.headers) {
            response_.set(name, value);
        }
        response_.body() = std::move(reply.body);
        response_.keep_alive(request.keep_alive());
        response_.prepare_payload();
        http::async_write(
            stream_, response_,
            beast::bind_front_handler(&control_session::on_write, shared_from_this()));
    }

    void on_write(beast::error_code ec, std::size_t) {
        if (ec || !response_.keep_alive()) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            return;
        }
        do_read();
    }

    beast::tcp_stream stream_;
    engine& engine_;
    oauth_stand_in* oauth_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::vector_body<std::uint8_t>>> parser_;
    http::response<http::vector_body<std::uint8_t>> response_;
};

}  // namespace

http_reply_t handle_control(engine& engine, oauth_stand_in* oauth, const http_request_t& request) {
    try {
        return route(engine, oauth, request);
    } catch (const std::exception& error) {
        return json_reply(400, {{"error", error.what()}});
    }
}

fault_t fault_from_json(const std::string& text, unsigned& count) {
    const auto document = json::parse(text, nullptr, false);
    if (!document.is_object()) {
        throw std::invalid_argument("a fault is a JSON object");
    }
    fault_t fault;
    for (const auto& [name, value] : document.items()) {
        if (name == "count") {
            count = field_value<unsigned>(value, name);
        } else if (name == "command") {
            fault.command = field_value<std::uint32_t>(value, name);
        } else if (name == "http_status") {
            fault.http_status = field_value<unsigned>(value, name);
        } else if (name == "retry_after") {
            fault.retry_after = field_value<std::string>(value, name);
        } else if (name == "delay_ms") {
            fault.delay = std::chrono::milliseconds(field_value<std::uint32_t>(value, name));
        } else if (name == "close_connection") {
            fault.close_connection = field_value<bool>(value, name);
        } else if (name == "truncate_body") {
            fault.truncate_body = field_value<bool>(value, name);
        } else if (name == "oversize_body") {
            fault.oversize_body = field_value<bool>(value, name);
        } else if (name == "tamper_tag") {
            fault.tamper_tag = field_value<bool>(value, name);
        } else if (name == "wrong_sequence") {
            fault.wrong_sequence = field_value<bool>(value, name);
        } else if (name == "tunnel_status") {
            fault.tunnel_status = field_value<std::uint32_t>(value, name);
        } else if (name == "hsm_result") {
            fault.hsm_result = field_value<std::uint32_t>(value, name);
        } else {
            throw std::invalid_argument("unknown fault field '" + name + "'");
        }
    }
    return fault;
}

struct control_server::impl : std::enable_shared_from_this<control_server::impl> {
    impl(net::io_context& io, service::engine& engine, oauth_stand_in* oauth)
        : io(io), acceptor(net::make_strand(io)), hsm_engine(engine), oauth(oauth) {}

    void do_accept() {
        acceptor.async_accept(net::make_strand(io), [self = shared_from_this()](
                                                        beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !self->acceptor.is_open()) {
                return;
            }
            if (!ec) {
                std::make_shared<control_session>(std::move(socket), self->hsm_engine, self->oauth)
                    ->run();
            }
            self->do_accept();
        });
    }

    net::io_context& io;
    tcp::acceptor acceptor;
    service::engine& hsm_engine;
    oauth_stand_in* oauth;
    std::uint16_t port = 0;
};

control_server::control_server(net::io_context& io, std::uint16_t port, engine& engine,
                               oauth_stand_in* oauth)
    : impl_(std::make_shared<impl>(io, engine, oauth)) {
    listen_on(impl_->acceptor, tcp::endpoint(net::ip::address_v4::loopback(), port),
              " for control");
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->do_accept();
}

control_server::~control_server() {
    close();
}

std::uint16_t control_server::port() const {
    return impl_->port;
}

void control_server::close() {
    net::dispatch(impl_->acceptor.get_executor(), [self = impl_] {
        beast::error_code ignored;
        self->acceptor.close(ignored);
    });
}

}  // namespace service
