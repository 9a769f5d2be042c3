// The tests' HTTPS client: one TLS 1.2 connection, each step an async operation run on the
// client's own io_context under a deadline, so a misbehaving service fails a test, never hangs.
#include <ostream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <openssl/ssl.h>

#include <stdexcept>

#include "tests/service/service_test_support.h"

namespace service_test {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr std::chrono::seconds DEADLINE{10};
constexpr char DEFAULT_CIPHERS[] =
    "DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256";

void check(const beast::error_code& ec, const char* step) {
    if (ec) {
        throw beast::system_error(ec, step);
    }
}

}  // namespace

struct https_client::impl {
    net::io_context io;
    ssl::context tls{ssl::context::tls_client};
    std::optional<beast::ssl_stream<beast::tcp_stream>> stream;
    beast::flat_buffer buffer;

    // Runs the started operation to its end; the stream's deadline cancels it.
    void run() {
        io.restart();
        io.run();
    }
};

https_client::https_client(std::uint16_t port, const std::filesystem::path& ca_bundle,
                           std::string cipher_list)
    : impl_(std::make_unique<impl>()) {
    auto* native = impl_->tls.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(native, cipher_list.empty() ? DEFAULT_CIPHERS : cipher_list.c_str());
    impl_->tls.load_verify_file(ca_bundle.string());
    impl_->tls.set_verify_mode(ssl::verify_peer);
    impl_->stream.emplace(impl_->io, impl_->tls);
    impl_->stream->set_verify_callback(ssl::host_name_verification("127.0.0.1"));

    beast::error_code ec;
    auto& tcp_layer = beast::get_lowest_layer(*impl_->stream);
    tcp_layer.expires_after(DEADLINE);
    tcp_layer.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                            [&](beast::error_code e) { ec = e; });
    impl_->run();
    check(ec, "connect");
    tcp_layer.expires_after(DEADLINE);
    impl_->stream->async_handshake(ssl::stream_base::client, [&](beast::error_code e) { ec = e; });
    impl_->run();
    check(ec, "handshake");
}

https_client::~https_client() = default;

reply_t https_client::post(const std::string& target, const bytes& body,
                           const header_list_t& headers) {
    http::request<http::vector_body<std::uint8_t>> request{http::verb::post, target, 11};
    for (const auto& [name, value] : headers) {
        request.insert(name, value);
    }
    request.body() = body;
    request.prepare_payload();
    beast::error_code ec;
    auto& tcp_layer = beast::get_lowest_layer(*impl_->stream);
    tcp_layer.expires_after(DEADLINE);
    http::async_write(*impl_->stream, request, [&](beast::error_code e, std::size_t) { ec = e; });
    impl_->run();
    check(ec, "write");
    http::response_parser<http::vector_body<std::uint8_t>> parser;
    parser.body_limit(64 * 1024 * 1024);
    tcp_layer.expires_after(DEADLINE);
    http::async_read(*impl_->stream, impl_->buffer, parser,
                     [&](beast::error_code e, std::size_t) { ec = e; });
    impl_->run();
    check(ec, "read");
    auto response = parser.release();
    reply_t reply{response.result_int(), {}, std::move(response.body())};
    for (const auto& field : response) {
        reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    return reply;
}

std::string https_client::cipher() const {
    return SSL_get_cipher_name(impl_->stream->native_handle());
}

reply_t plain_http(std::uint16_t port, const std::string& method, const std::string& target,
                   const std::string& body) {
    net::io_context io;
    beast::tcp_stream stream(io);
    beast::error_code ec;
    stream.expires_after(DEADLINE);
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                         [&](beast::error_code e) { ec = e; });
    io.run();
    check(ec, "connect");
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.body() = body;
    request.prepare_payload();
    http::response<http::vector_body<std::uint8_t>> response;
    beast::flat_buffer buffer;
    stream.expires_after(DEADLINE);
    http::async_write(stream, request, [&](beast::error_code e, std::size_t) {
        ec = e;
        if (!ec) {
            http::async_read(stream, buffer, response,
                             [&](beast::error_code r, std::size_t) { ec = r; });
        }
    });
    io.restart();
    io.run();
    check(ec, "exchange");
    reply_t reply{response.result_int(), {}, std::move(response.body())};
    for (const auto& field : response) {
        reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    return reply;
}

transport_fn https_transport(https_client& client) {
    return [&client](const std::string& target, const bytes& body, const header_list_t& headers) {
        return client.post(target, body, headers);
    };
}

}  // namespace service_test
