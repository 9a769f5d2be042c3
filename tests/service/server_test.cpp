// The service over real TLS connections: the handshake, a client's first commands on one
// kept-alive connection, faults that only a connection can show, and concurrent clients.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service/server.h"
#include "tests/service/service_test_support.h"

namespace service_test {
namespace {

constexpr std::uint64_t SERIAL = 1001;
constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t ORVA_GEN_APPID = 0x108;
constexpr std::uint32_t ORVA_APP_SESSIONS_KEEPALIVE = 0x109;
constexpr std::uint32_t ORVA_OPEN_CONTEXT_SESSION = 0x10A;
constexpr std::uint32_t ORVA_CLOSE_SESSION = 0x26;
constexpr std::uint32_t CONTEXT_INVALID = 0x80001601;
constexpr std::uint32_t UNKNOWN_COMMAND = 0x300001;

std::int64_t wall_clock() {
    return service::system_seconds();
}

class ServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki_ = new pki_dir({SERIAL, 1002}); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }

    void SetUp() override { start({}); }

    void start(service::server_options_t options) {
        options.pki_dir = pki_->path();
        server_ = std::make_unique<service::server>(std::move(options));
        server_->start();
    }

    std::unique_ptr<https_client> connect(std::string ciphers = {}) {
        return std::make_unique<https_client>(server_->port(),
                                              pki_->path() / "tls" / "ca-bundle.pem", ciphers);
    }

    xtc_client tunnel_client(https_client& connection) {
        return xtc_client(https_transport(connection), SERIAL, pki_->partition_public_key(SERIAL),
                          wall_clock);
    }

    static inline pki_dir* pki_ = nullptr;
    std::unique_ptr<service::server> server_;
};

TEST_F(ServerTest, FirstCommandsOfAClientOnOneConnection) {
    auto connection = connect();
    auto client = tunnel_client(*connection);
    ASSERT_TRUE(client.open().authentic);

    auto issued = client.send(command(ORVA_GEN_APPID, {}, 0), 96);
    ASSERT_EQ(issued.result, 0u);
    app_id_t app{};
    std::copy_n(issued.body.begin(), 16, app.begin());

    auto context = client.send(command(ORVA_OPEN_CONTEXT_SESSION, app, 5));
    ASSERT_EQ(context.result, 0u);
    bytes bound(28, 0);
    std::copy(context.body.begin(), context.body.end(), bound.begin());
    EXPECT_NE(client.send(command(ORVA_CLOSE_SESSION, app, 5, bound)).result, CONTEXT_INVALID);
    EXPECT_EQ(client.send(command(ORVA_CLOSE_SESSION, app, 5, bound)).result, CONTEXT_INVALID);
    EXPECT_EQ(server_->engine().violations().context_reuses, 1u);

    auto probe = client.send(command(ORVA_GET, app, 13), 88);
    EXPECT_EQ(probe.result, 0u);
    EXPECT_EQ(
        client
            .send(command(ORVA_APP_SESSIONS_KEEPALIVE, app, 1000000, bytes(app.begin(), app.end())),
                  80)
            .result,
        0u);
    EXPECT_EQ(client.send(command(0x4E, app, 0)).result, UNKNOWN_COMMAND);
    EXPECT_EQ(server_->engine().violations().total(), 1u);
}

class CipherSuite : public ServerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CipherSuite, IsOffered) {
    auto connection = connect(GetParam());
    EXPECT_EQ(connection->cipher(), GetParam());
    auto client = tunnel_client(*connection);
    EXPECT_TRUE(client.open().authentic);
}

INSTANTIATE_TEST_SUITE_P(Gcm, CipherSuite,
                         ::testing::Values("DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-AES128-GCM-SHA256",
                                           "ECDHE-RSA-AES256-GCM-SHA384",
                                           "ECDHE-RSA-AES128-GCM-SHA256"));

TEST_F(ServerTest, OtherSuitesAreRefused) {
    EXPECT_ANY_THROW(connect("AES256-SHA256"));
    EXPECT_ANY_THROW(connect("ECDHE-RSA-AES256-SHA384"));
}

TEST_F(ServerTest, GarbageGetsAStatusAndTheConnectionStays) {
    auto connection = connect();
    EXPECT_EQ(connection->post("/vHSM/1001", bytes(37, 0xAB), {}).status, 400u);
    EXPECT_EQ(connection->post("/elsewhere", {}, {}).status, 404u);
    auto client = tunnel_client(*connection);
    EXPECT_TRUE(client.open().authentic);
}

TEST_F(ServerTest, ClosedConnectionAndTruncatedBodyCutTheClientOff) {
    for (auto kind : {0, 1}) {
        auto connection = connect();
        auto client = tunnel_client(*connection);
        ASSERT_TRUE(client.open().authentic);
        service::fault_t fault;
        (kind == 0 ? fault.close_connection : fault.truncate_body) = true;
        server_->engine().inject(fault);
        EXPECT_ANY_THROW(client.send(command(ORVA_GET, {}, 13))) << kind;
    }
    auto connection = connect();
    EXPECT_TRUE(tunnel_client(*connection).open().authentic);
}

TEST_F(ServerTest, BusyAndDelayedReplies) {
    auto connection = connect();
    auto client = tunnel_client(*connection);
    ASSERT_TRUE(client.open().authentic);
    service::fault_t busy;
    busy.http_status = 503;
    busy.retry_after = "1";
    server_->engine().inject(busy);
    auto reply = client.send(command(ORVA_GET, {}, 13));
    EXPECT_EQ(reply.status, 503u);
    EXPECT_EQ(header_of(reply.headers, "Retry-After"), "1");
    EXPECT_EQ(
        client.read_reply(client.post(client.last_request()), client.next_sequence() - 1).result,
        0u);  // the same body again, as a client retries it

    service::fault_t slow;
    slow.delay = std::chrono::milliseconds(100);
    server_->engine().inject(slow);
    EXPECT_EQ(client.send(command(ORVA_GET, {}, 13)).result, 0u);
    EXPECT_EQ(server_->engine().violations().total(), 0u);
}

TEST_F(ServerTest, OversizedRequestIsRefused) {
    server_.reset();
    service::server_options_t options;
    options.body_limit = 1024;
    start(options);
    auto connection = connect();
    EXPECT_EQ(connection->post("/vHSM/1001", bytes(2048, 0), {}).status, 413u);
}

TEST_F(ServerTest, ConcurrentClientsShareOneTunnelWithoutViolations) {
    auto opener = connect();
    auto client = tunnel_client(*opener);
    ASSERT_TRUE(client.open().authentic);
    std::atomic<std::uint64_t> next_sequence{0};
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    constexpr int THREADS = 8;
    constexpr int COMMANDS = 40;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            auto connection = connect();
            for (int i = 0; i < COMMANDS; ++i) {
                const auto sequence = next_sequence++;
                auto request = client.wrap(command(ORVA_GET, {}, 13), sequence, 88);
                auto reply = connection->post(client.target(), request, {});
                good += client.read_reply(reply, sequence).authentic ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), THREADS * COMMANDS);
    EXPECT_EQ(server_->engine().violations().total(), 0u);
}

TEST_F(ServerTest, StartErrors) {
    service::server_options_t options;
    options.pki_dir = pki_->path();
    options.port = server_->port();
    service::server busy(options);
    try {
        busy.start();
        FAIL() << "a busy port was accepted";
    } catch (const service::start_error& error) {
        EXPECT_NE(std::string(error.what()).find(std::to_string(server_->port())),
                  std::string::npos);
    }
    options.pki_dir = pki_->path() / "missing";
    EXPECT_THROW(service::server{options}, service::start_error);
}

TEST_F(ServerTest, StopIsIdempotentAndEndsConnections) {
    auto connection = connect();
    server_->stop();
    server_->stop();
    EXPECT_ANY_THROW(connection->post("/vHSM/1001", bytes(20, 0), {}));
}

}  // namespace
}  // namespace service_test
