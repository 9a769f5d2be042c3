#include "service/server.h"

#include <ostream>  // Beast's headers use std::ostream without including it

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <openssl/ssl.h>

#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "service/control.h"
#include "service/listen.h"

namespace service {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using body_t = http::vector_body<std::uint8_t>;

constexpr char CIPHER_LIST[] =
    "DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256";
constexpr std::chrono::seconds SHUTDOWN_TIMEOUT{5};
constexpr unsigned HTTP_VERSION_1_1 = 11;

http_request_t to_engine(http::request<body_t>&& request) {
    http_request_t out;
    out.method = std::string(request.method_string());
    out.target = std::string(request.target());
    for (const auto& field : request) {
        out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    out.body = std::move(request.body());
    return out;
}

class session : public std::enable_shared_from_this<session> {
  public:
    session(tcp::socket&& socket, ssl::context& tls, engine& engine,
            const server_options_t& options)
        : stream_(std::move(socket), tls),
          timer_(stream_.get_executor()),
          engine_(engine),
          options_(options) {}

    void run() {
        net::dispatch(stream_.get_executor(),
                      beast::bind_front_handler(&session::on_run, shared_from_this()));
    }

  private:
    void on_run() {
        beast::get_lowest_layer(stream_).expires_after(options_.handshake_timeout);
        stream_.async_handshake(
            ssl::stream_base::server,
            beast::bind_front_handler(&session::on_handshake, shared_from_this()));
    }

    void on_handshake(beast::error_code ec) {
        if (!ec) {
            do_read();
        }
    }

    void do_read() {
        parser_.emplace();
        parser_->body_limit(options_.body_limit);
        beast::get_lowest_layer(stream_).expires_after(options_.idle_timeout);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&session::on_read, shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        if (ec == http::error::end_of_stream) {
            return do_close();
        }
        if (ec == http::error::body_limit) {
            return respond({413, {}, {}, {}, http_reply_t::delivery_t::normal}, false);
        }
        if (ec) {
            return;  // the connection is gone or unusable; dropping it is all there is to do
        }
        auto request = parser_->release();
        const bool keep_alive = request.keep_alive();
        auto reply = engine_.handle(to_engine(std::move(request)));
        if (reply.delay.count() > 0) {
            timer_.expires_after(reply.delay);
            timer_.async_wait([self = shared_from_this(), reply = std::move(reply),
                               keep_alive](beast::error_code) mutable {
                self->respond(std::move(reply), keep_alive);
            });
            return;
        }
        respond(std::move(reply), keep_alive);
    }

    void respond(http_reply_t reply, bool keep_alive) {
        if (reply.delivery == http_reply_t::delivery_t::close_without_reply) {
            return drop();
        }
        response_ = {static_cast<http::status>(reply.status), HTTP_VERSION_1_1};
        for (auto& [name, value] : reply.headers) {
            response_.set(name, value);
        }
        if (!reply.body.empty()) {
            response_.set(http::field::content_type, "application/octet-stream");
        }
        response_.body() = std::move(reply.body);
        response_.keep_alive(keep_alive);
        response_.prepare_payload();
        beast::get_lowest_layer(stream_).expires_after(options_.idle_timeout);
        if (reply.delivery == http_reply_t::delivery_t::truncated) {
            return write_truncated();
        }
        http::async_write(stream_, response_,
                          beast::bind_front_handler(&session::on_write, shared_from_this(),
                                                    response_.keep_alive()));
    }

    // The header announces the whole body; half of it follows and the connection ends.
    void write_truncated() {
        std::ostringstream header;
        header << response_.base();
        raw_ = header.str();
        const auto& body = response_.body();
        raw_.append(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(body.size() / 2));
        net::async_write(
            stream_, net::buffer(raw_),
            [self = shared_from_this()](beast::error_code, std::size_t) { self->drop(); });
    }

    void on_write(bool keep_alive, beast::error_code ec, std::size_t) {
        if (ec) {
            return;
        }
        if (!keep_alive) {
            return do_close();
        }
        do_read();
    }

    void do_close() {
        beast::get_lowest_layer(stream_).expires_after(SHUTDOWN_TIMEOUT);
        stream_.async_shutdown([self = shared_from_this()](beast::error_code) {});
    }

    // Ends the connection without a TLS close: the client sees it cut off.
    void drop() {
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(stream_).close();
    }

    beast::ssl_stream<beast::tcp_stream> stream_;
    net::steady_timer timer_;
    engine& engine_;
    const server_options_t& options_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<body_t>> parser_;
    http::response<body_t> response_;
    std::string raw_;
};

class listener : public std::enable_shared_from_this<listener> {
  public:
    listener(net::io_context& io, ssl::context& tls, engine& engine,
             const server_options_t& options)
        : io_(io), acceptor_(net::make_strand(io)), tls_(tls), engine_(engine), options_(options) {}

    void open(const tcp::endpoint& endpoint) { listen_on(acceptor_, endpoint, ""); }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    void run() { do_accept(); }

    void close() {
        net::dispatch(acceptor_.get_executor(), [self = shared_from_this()] {
            beast::error_code ignored;
            self->acceptor_.close(ignored);
        });
    }

  private:
    void do_accept() {
        acceptor_.async_accept(net::make_strand(io_),
                               beast::bind_front_handler(&listener::on_accept, shared_from_this()));
    }

    void on_accept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!ec) {
            std::make_shared<session>(std::move(socket), tls_, engine_, options_)->run();
        }
        do_accept();
    }

    net::io_context& io_;
    tcp::acceptor acceptor_;
    ssl::context& tls_;
    engine& engine_;
    const server_options_t& options_;
};

// A handler that throws (an allocation failure, say) costs its connection, not the thread.
void run_until_stopped(net::io_context& io) {
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception&) {
            // run() resumes with the remaining handlers
        }
    }
}

void configure_tls(ssl::context& tls, const pki_material_t& material) {
    SSL_CTX* native = tls.native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(native, CIPHER_LIST) != 1 || SSL_CTX_set_dh_auto(native, 1) != 1) {
        throw start_error("cannot configure TLS 1.2 with the AES-GCM suites");
    }
    tls.set_options(ssl::context::default_workarounds);
    beast::error_code ec;
    tls.use_certificate_chain_file(material.tls_certificate.string(), ec);
    if (ec) {
        throw start_error("cannot use " + material.tls_certificate.string() + ": " + ec.message());
    }
    tls.use_private_key_file(material.tls_key.string(), ssl::context::pem, ec);
    if (ec) {
        throw start_error("cannot use " + material.tls_key.string() + ": " + ec.message());
    }
}

}  // namespace

struct server::impl {
    explicit impl(server_options_t opts, pki_material_t material)
        : options(std::move(opts)),
          engine(std::move(material.partitions), options.engine),
          tls(ssl::context::tls_server) {
        configure_tls(tls, material);
        if (options.oauth) {
            oauth = std::make_unique<oauth_stand_in>(options.oauth_options);
            engine.set_extra_route([stand_in = oauth.get()](const http_request_t& request) {
                return stand_in->route(request);
            });
            engine.set_bearer_check([stand_in = oauth.get()](std::string_view token) {
                return stand_in->accepts(token);
            });
        }
    }

    server_options_t options;
    service::engine engine;
    std::unique_ptr<oauth_stand_in> oauth;
    ssl::context tls;
    std::optional<net::io_context> io;  // destroyed before tls and engine, with its sessions
    std::shared_ptr<listener> acceptor;
    std::unique_ptr<control_server> control;
    std::uint16_t port = 0;
    std::vector<std::thread> threads;
};

server::server(server_options_t options) {
    auto material = load_pki_dir(options.pki_dir);
    options.engine.hsm.challenge_chain = load_challenge_chain(options.pki_dir / "pec-chain");
    impl_ = std::make_unique<impl>(std::move(options), std::move(material));
}

server::~server() {
    stop();
}

void server::start() {
    if (impl_->io) {
        return;
    }
    beast::error_code ec;
    const auto address = net::ip::make_address(impl_->options.address, ec);
    if (ec) {
        throw start_error("invalid address " + impl_->options.address);
    }
    impl_->io.emplace(static_cast<int>(std::max(1u, impl_->options.io_threads)));
    try {
        impl_->acceptor =
            std::make_shared<listener>(*impl_->io, impl_->tls, impl_->engine, impl_->options);
        impl_->acceptor->open({address, impl_->options.port});
        if (impl_->options.control_port) {
            impl_->control = std::make_unique<control_server>(
                *impl_->io, *impl_->options.control_port, impl_->engine, impl_->oauth.get());
        }
    } catch (...) {
        impl_->control.reset();
        impl_->acceptor.reset();
        impl_->io.reset();
        throw;
    }
    impl_->port = impl_->acceptor->port();
    if (impl_->oauth) {
        impl_->oauth->set_port(impl_->port);
    }
    impl_->acceptor->run();
    for (unsigned i = 0; i < std::max(1u, impl_->options.io_threads); ++i) {
        impl_->threads.emplace_back([io = &*impl_->io] { run_until_stopped(*io); });
    }
}

void server::stop() {
    if (!impl_ || !impl_->io) {
        return;
    }
    impl_->acceptor->close();
    if (impl_->control) {
        impl_->control->close();
    }
    impl_->io->stop();
    for (auto& thread : impl_->threads) {
        thread.join();
    }
    impl_->threads.clear();
    impl_->control.reset();
    impl_->acceptor.reset();
    impl_->io.reset();
}

std::uint16_t server::port() const {
    return impl_->port;
}

std::optional<std::uint16_t> server::control_port() const {
    if (!impl_->control) {
        return std::nullopt;
    }
    return impl_->control->port();
}

service::engine& server::engine() {
    return impl_->engine;
}

oauth_stand_in* server::oauth() {
    return impl_->oauth.get();
}

}  // namespace service
