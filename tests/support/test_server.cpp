#include "tests/support/test_server.h"

#include <ostream>  // Beast 1.74 streams without including <ostream> itself

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http.hpp>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace test_server {

namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using tls_stream = net::ssl::stream<tcp::socket>;

// Requests of any size the clients may send; the clients' own limits are what tests probe.
constexpr std::uint64_t REQUEST_BODY_LIMIT = 64 * 1024 * 1024;

int openssl_version(tls_version version) {
    switch (version) {
        case tls_version::tls1_1: return TLS1_1_VERSION;
        case tls_version::tls1_2: return TLS1_2_VERSION;
        case tls_version::tls1_3: return TLS1_3_VERSION;
    }
    return TLS1_2_VERSION;
}

std::unique_ptr<net::ssl::context> make_server_context(const tls_options_t& tls) {
    auto context = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    if (SSL_CTX_use_certificate(native, tls.identity.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(native, tls.identity.key.get()) != 1) {
        throw std::runtime_error("test server: cannot use the certificate and key");
    }
    if (tls.min_version) {
        SSL_CTX_set_min_proto_version(native, openssl_version(*tls.min_version));
    }
    if (tls.max_version) {
        SSL_CTX_set_max_proto_version(native, openssl_version(*tls.max_version));
    }
    const auto below_1_2 = [](const std::optional<tls_version>& v) {
        return v && *v == tls_version::tls1_1;
    };
    if (below_1_2(tls.min_version) || below_1_2(tls.max_version)) {
        SSL_CTX_set_security_level(native, 0);  // OpenSSL 3 refuses TLS 1.1 at any higher level
    }
    if (!tls.cipher_list.empty() && SSL_CTX_set_cipher_list(native, tls.cipher_list.c_str()) != 1) {
        throw std::runtime_error("test server: cipher list not accepted: " + tls.cipher_list);
    }
    return context;
}

}  // namespace

struct TestServer::Impl {
    explicit Impl(options_t options_);
    ~Impl();

    void accept();
    void on_accept(tcp::socket socket);
    reply_t next_reply();
    void record(recorded_request_t request);
    void record_tls(std::size_t number, const tls_stream& stream);

    options_t options;
    std::unique_ptr<net::ssl::context> tls;  // before io: connections may hold its SSL objects
    net::io_context io;
    tcp::acceptor acceptor{io};
    std::vector<std::shared_ptr<void>> silent;  // TLS connections kept open without a handshake

    mutable std::mutex mutex;  // guards the members below
    mutable std::condition_variable changed;
    std::deque<reply_t> script;
    std::vector<recorded_request_t> requests;
    std::vector<tls_connection_t> tls_connections;
    std::size_t connections = 0;

    std::thread thread;  // last: runs io until the destructor stops it
};

namespace {

// One accepted connection: reads requests and answers them from the script until either side
// closes. Plain (tcp::socket) or TLS (tls_stream).
template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    Session(TestServer::Impl& server, Stream stream, std::size_t number)
        : server_(server), stream_(std::move(stream)), number_(number),
          timer_(server.io.get_executor()) {}

    void start() {
        if constexpr (std::is_same_v<Stream, tls_stream>) {
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = this->shared_from_this()](error_code ec) {
                                        if (ec) {
                                            return self->close();
                                        }
                                        self->server_.record_tls(self->number_, self->stream_);
                                        self->read();
                                    });
        } else {
            read();
        }
    }

private:
    void read() {
        parser_.emplace();
        parser_->body_limit(REQUEST_BODY_LIMIT);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](error_code ec, std::size_t) {
                             if (ec) {
                                 return self->close();
                             }
                             self->on_request();
                         });
    }

    void on_request() {
        const auto& message = parser_->get();
        recorded_request_t request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.emplace_back(std::string(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = message.body();
        request.connection = number_;
        server_.record(std::move(request));

        reply_ = server_.next_reply();
        timer_.expires_after(reply_.delay);
        timer_.async_wait([self = this->shared_from_this()](error_code ec) {
            if (!ec) {
                self->answer();
            }
        });
    }

    void answer() {
        auto self = this->shared_from_this();
        const auto written = [self](error_code ec, std::size_t) {
            if (ec || self->reply_.close_after) {
                return self->close();
            }
            self->read();
        };
        if (reply_.raw) {
            net::async_write(stream_, net::buffer(*reply_.raw), written);
            return;
        }
        response_.emplace();
        response_->version(11);
        response_->result(static_cast<unsigned>(reply_.status));
        for (const auto& [name, value] : reply_.headers) {
            response_->insert(name, value);
        }
        response_->body() = reply_.body;
        response_->prepare_payload();
        http::async_write(stream_, *response_, written);
    }

    void close() {
        error_code ignored;
        boost::beast::get_lowest_layer(stream_).close(ignored);
    }

    TestServer::Impl& server_;
    Stream stream_;
    const std::size_t number_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    net::steady_timer timer_;
    reply_t reply_;
    std::optional<http::response<http::string_body>> response_;
};

}  // namespace

TestServer::Impl::Impl(options_t options_) : options(std::move(options_)) {
    if (options.tls) {
        tls = make_server_context(*options.tls);
    }
    const tcp::endpoint loopback(net::ip::make_address_v4("127.0.0.1"), 0);
    acceptor.open(loopback.protocol());
    acceptor.bind(loopback);
    acceptor.listen();
    accept();
    thread = std::thread([this] { io.run(); });
}

TestServer::Impl::~Impl() {
    io.stop();
    thread.join();
}

void TestServer::Impl::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec) {
            return;  // the acceptor was closed
        }
        on_accept(std::move(socket));
        accept();
    });
}

void TestServer::Impl::on_accept(tcp::socket socket) {
    std::size_t number = 0;
    {
        std::lock_guard lock(mutex);
        number = ++connections;
        if (tls) {
            tls_connections.emplace_back();
        }
    }
    changed.notify_all();
    if (options.close_on_accept) {
        return;  // the socket closes when it goes out of scope
    }
    if (!tls) {
        std::make_shared<Session<tcp::socket>>(*this, std::move(socket), number)->start();
        return;
    }
    auto session = std::make_shared<Session<tls_stream>>(*this, tls_stream(std::move(socket), *tls),
                                                          number);
    if (!options.tls->answer_handshake) {
        silent.push_back(session);
        return;
    }
    session->start();
}

reply_t TestServer::Impl::next_reply() {
    std::lock_guard lock(mutex);
    if (script.empty()) {
        return options.default_reply;
    }
    reply_t reply = std::move(script.front());
    script.pop_front();
    return reply;
}

void TestServer::Impl::record(recorded_request_t request) {
    {
        std::lock_guard lock(mutex);
        requests.push_back(std::move(request));
    }
    changed.notify_all();
}

void TestServer::Impl::record_tls(std::size_t number, const tls_stream& stream) {
    SSL* ssl = const_cast<tls_stream&>(stream).native_handle();
    tls_connection_t seen;
    seen.handshake_done = true;
    seen.protocol = SSL_get_version(ssl);
    seen.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl));
    const char* server_name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    seen.server_name = server_name != nullptr ? server_name : "";
    seen.session_reused = SSL_session_reused(ssl) == 1;
    std::lock_guard lock(mutex);
    tls_connections.at(number - 1) = seen;
}

TestServer::TestServer(options_t options) : impl_(std::make_unique<Impl>(std::move(options))) {}

TestServer::~TestServer() = default;

std::uint16_t TestServer::port() const { return impl_->acceptor.local_endpoint().port(); }

void TestServer::push(reply_t reply) {
    std::lock_guard lock(impl_->mutex);
    impl_->script.push_back(std::move(reply));
}

std::vector<recorded_request_t> TestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::size_t TestServer::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

std::vector<tls_connection_t> TestServer::tls_connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->tls_connections;
}

bool TestServer::wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->connections >= count; });
}

// ---- the process's test PKI ----

namespace {

std::string make_temp_dir(const char* name_pattern) {
    std::string pattern = (std::filesystem::temp_directory_path() / name_pattern).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    return pattern;
}

// Removes the process CA's directory when the test program ends.
struct ca_dir_t {
    std::string path = make_temp_dir("ximora-test-ca-XXXXXX");
    ~ca_dir_t() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const ximora::pki::tls_bundle_t& process_pki() {
    static const ximora::pki::tls_bundle_t bundle = ximora::pki::mint_tls_server();
    return bundle;
}

std::string process_ca_bundle_path() {
    static const ca_dir_t dir;
    static const std::string path = [] {
        const std::string file = dir.path + "/ca.pem";
        ximora::pki::write_cert_pem(file, {process_pki().ca.cert});
        return file;
    }();
    return path;
}

void use_process_ca_bundle() { ::setenv("CABundleFile", process_ca_bundle_path().c_str(), 1); }

tls_options_t process_tls() {
    tls_options_t tls;
    tls.identity = process_pki().server;
    return tls;
}

ximora::pki::issued_t issue_server_identity(const std::string& common_name,
                                            const std::vector<std::string>& alt_names,
                                            const ximora::pki::key_spec_t& key) {
    ximora::pki::cert_spec_t profile;
    profile.common_name = common_name;
    profile.ca = false;
    profile.key = key;
    profile.subject_alt_names = alt_names;
    profile.server_auth = true;
    return ximora::pki::issue(process_pki().ca, profile);
}

// ---- tinyproxy ----

namespace {

constexpr auto PROXY_START_TIMEOUT = std::chrono::seconds(10);
constexpr auto PROXY_START_POLL = std::chrono::milliseconds(20);

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel just handed out and took back; tinyproxy binds it right after.
std::uint16_t free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback_address(0);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok) {
        throw std::runtime_error("no free loopback port");
    }
    return ntohs(address.sin_port);
}

bool accepts_connections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in address = loopback_address(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TinyProxy::TinyProxy() : dir_(make_temp_dir("ximora-tinyproxy-XXXXXX")), port_(free_loopback_port()) {
    const std::string config = dir_ + "/tinyproxy.conf";
    std::ofstream(config) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\n"
                          << "LogFile \"" << dir_ << "/tinyproxy.log\"\nLogLevel Connect\n"
                          << "MaxClients 10\nAllow 127.0.0.1\n";

    const std::string output = dir_ + "/output.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string program = "tinyproxy";
    std::string foreground = "-d";
    std::string config_flag = "-c";
    std::string config_path = config;
    char* argv[] = {program.data(), foreground.data(), config_flag.data(), config_path.data(),
                    nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "tinyproxy", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("cannot start tinyproxy (installed by scripts/deps.sh)");
    }
    pid_ = pid;

    const auto give_up = std::chrono::steady_clock::now() + PROXY_START_TIMEOUT;
    while (!accepts_connections(port_)) {
        if (std::chrono::steady_clock::now() > give_up || ::waitpid(pid_, nullptr, WNOHANG) != 0) {
            stop();
            throw std::runtime_error("tinyproxy did not start listening on port " +
                                     std::to_string(port_));
        }
        std::this_thread::sleep_for(PROXY_START_POLL);
    }
}

TinyProxy::~TinyProxy() { stop(); }

void TinyProxy::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TinyProxy::log() const {
    std::ifstream file(dir_ + "/tinyproxy.log");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// ---- fresh processes ----

void expect_in_fresh_process(const std::function<std::string()>& check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string failure;
            try {
                failure = check();
            } catch (const std::exception& e) {
                failure = std::string("unexpected exception: ") + e.what();
            }
            if (!failure.empty()) {
                std::fprintf(stderr, "%s\n", failure.c_str());
            }
            std::fflush(stderr);
            std::exit(failure.empty() ? 0 : 1);  // runs the static destructors: temp dirs go
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace test_server
