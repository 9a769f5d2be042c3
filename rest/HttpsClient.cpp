#include "rest/HttpsClient.h"

#include "rest/HttpClientImpl.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <mutex>
#include <stdexcept>

#include "config/SimpleLogger.h"
#include "config/XmConfiguration.h"

namespace ssl = boost::asio::ssl;
using boost::asio::ip::tcp;

namespace {

// RSA-authenticated AES-GCM suites only: no CBC, no static RSA key exchange.
const char* const TLS_CIPHER_LIST =
    "DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256";

// Fresh (EC)DH keys for every handshake and no compression. OpenSSL 1.1 and later always use
// single-use (EC)DH keys and define the first two bits as 0, so only SSL_OP_NO_COMPRESSION
// still has to be asked for; the names stay so the intent survives a library change.
constexpr std::uint64_t TLS_CONNECTION_OPTIONS =
    SSL_OP_SINGLE_DH_USE | SSL_OP_SINGLE_ECDH_USE | SSL_OP_NO_COMPRESSION;

// The only protocol version offered or accepted.
constexpr int TLS_PROTOCOL_VERSION = TLS1_2_VERSION;

// "f*.example.com" must not match "foo.example.com"; a whole-label "*" still may.
constexpr unsigned int HOST_CHECK_FLAGS = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;

// X509_NAME_oneline writes at most 255 characters and a terminator.
constexpr int SUBJECT_NAME_CAPACITY = 256;

void log_trace(const char* text) {
    if (SimpleLogger::logLevel() <= SimpleLogger::trace) {
        SimpleLogger(SimpleLogger::trace)() << text;
    }
}

[[noreturn]] void throw_tls_error(const char* what) {
    const boost::system::error_code ec(static_cast<int>(ERR_get_error()),
                                       boost::asio::error::get_ssl_category());
    throw boost::system::system_error(ec, what);
}

// Whether the certificate must match the server's host; settled by the first client.
std::once_flag initOnce_s;

}  // namespace

struct HttpsClient::Impl {
    Impl();

    /// A TLS connection object of its own for every TCP connection, so a reconnect never
    /// carries state or a session over from the previous one.
    void new_stream(tcp::socket& socket);

    static bool isHostnameCheckEnabled;

    ssl::context context{ssl::context::tls_client};
    boost::beast::flat_buffer buffer;  // TLS bytes read but not yet used, kept across responses
    std::unique_ptr<ssl::stream<tcp::socket&>> stream;
    std::string verify_failure;  // first rejection of the current handshake
};

bool HttpsClient::Impl::isHostnameCheckEnabled = true;

HttpsClient::Impl::Impl() {
    SSL_CTX* native = context.native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS_PROTOCOL_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(native, TLS_PROTOCOL_VERSION) != 1) {
        throw_tls_error("set_proto_version");
    }
    // Sessions are never resumed: every connection proves the server's identity afresh.
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);

    std::string path;
    getCAFile(path);  // its error stops rest_initialize before any client is built
    boost::system::error_code ec;
    context.load_verify_file(path, ec);
    if (ec) {
        throw boost::system::system_error(ec, "load_verify_file");
    }
    context.set_verify_mode(ssl::verify_peer);

    std::call_once(initOnce_s, [] {
        isHostnameCheckEnabled = XmConfiguration().GetRestSSLClientSideHostnameCheckEnabled();
    });
}

void HttpsClient::Impl::new_stream(tcp::socket& socket) {
    stream = std::make_unique<ssl::stream<tcp::socket&>>(socket, context);
    SSL* native = stream->native_handle();
    if (SSL_set_cipher_list(native, TLS_CIPHER_LIST) != 1) {
        throw_tls_error("set_cipher_list");
    }
    SSL_set_options(native, TLS_CONNECTION_OPTIONS);
}

namespace {

// Restricts the certificate to the server's IP address or host name.
void require_server_identity(SSL* ssl, const std::string& host) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, HOST_CHECK_FLAGS);
    boost::system::error_code not_an_address;
    boost::asio::ip::make_address(host, not_an_address);
    const int set = not_an_address
                        ? X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size())
                        : X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    if (set != 1) {
        throw std::runtime_error("HttpsClient::connect_handshake(): failed to set server name");
    }
}

}  // namespace

HttpsClient::HttpsClient(const std::string& host, std::uint16_t port, std::uint32_t timeoutSec)
    : HttpClient(host, port, timeoutSec), tls_(std::make_unique<Impl>()) {
    tls_->new_stream(impl().socket);
}

HttpsClient::~HttpsClient() = default;

bool HttpsClient::hasConnectPostProcessing() const { return true; }

void HttpsClient::connect() {
    log_trace("HttpsClient::connect()");
    if (isConnected()) {
        return;  // the handshake of this connection has been done
    }
    HttpClient::connect();
    connect_handshake();
    setIsConnected(true);
}

void HttpsClient::connect_handshake() {
    log_trace("HttpsClient::connect_handshake()");
    Impl& tls = *tls_;
    HttpClient::Impl& base = impl();
    tls.new_stream(base.socket);
    tls.buffer.consume(tls.buffer.size());
    tls.verify_failure.clear();
    if (Impl::isHostnameCheckEnabled) {
        require_server_identity(tls.stream->native_handle(), base.host);
    }
    tls.stream->set_verify_callback([this](bool preverified, ssl::verify_context& context) {
        return verify_certificate(preverified, context.native_handle());
    });

    boost::system::error_code ec;
    base.socket.set_option(tcp::no_delay(true), ec);  // a closed socket gives bad descriptor
    if (ec) {
        throw boost::system::system_error(ec, "set_option");
    }

    ec = base.run_step_ec(base.deadlines.handshake, [&](auto handler) {
        tls.stream->async_handshake(ssl::stream_base::client, std::move(handler));
    });
    if (!tls.verify_failure.empty()) {
        base.close_socket();
        throw std::runtime_error(tls.verify_failure);
    }
    if (ec) {
        throw boost::system::system_error(ec, "handshake");
    }
    if (!base.socket.is_open()) {
        throw boost::system::system_error(boost::asio::error::operation_aborted, "handshake");
    }
}

bool HttpsClient::verify_certificate(bool preverified, X509_STORE_CTX* context) noexcept {
    if (preverified) {
        return true;
    }
    try {
        if (tls_->verify_failure.empty()) {
            std::array<char, SUBJECT_NAME_CAPACITY> subject{};
            if (X509* cert = X509_STORE_CTX_get_current_cert(context)) {
                X509_NAME_oneline(X509_get_subject_name(cert), subject.data(), SUBJECT_NAME_CAPACITY);
            }
            tls_->verify_failure = std::string("HttpsClient::verify_certificate() failed: ") +
                                   X509_verify_cert_error_string(X509_STORE_CTX_get_error(context)) +
                                   ", Hostname=" + getHost() + ", SubjectName=" + subject.data();
        }
    } catch (...) {
        // Out of memory while describing it: the certificate is still rejected.
    }
    return false;
}

void HttpsClient::send(const HttpRequest& request) {
    log_trace("HttpsClient::send()");
    impl().write_request(*tls_->stream, request);
}

HttpResponse HttpsClient::recv() {
    return impl().read_response(*tls_->stream, tls_->buffer, std::chrono::seconds(getTimeout()));
}
