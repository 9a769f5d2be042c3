#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/codes.h"
#include "config/wire.h"
#include "health/Keepalive.h"
#include "rest/plugin_state_source.h"
#include "rest/rest_driver.h"
#include "tests/support/test_server.h"
#include "tools/pki/pki.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_server::reply;

namespace {

constexpr std::uint64_t PARTITION = 1234;

std::mutex g_pauses_mutex;
std::vector<long> g_pauses;
void record_pause(std::chrono::milliseconds pause) {
    std::lock_guard lock(g_pauses_mutex);
    g_pauses.push_back(static_cast<long>(pause.count()));
}

std::vector<std::string> names_of(const HttpFields& fields) {
    std::vector<std::string> names;
    for (const auto& field : fields) {
        names.push_back(field.first);
    }
    return names;
}

std::string field(const HttpFields& fields, const std::string& name) {
    for (const auto& [n, v] : fields) {
        if (n == name) {
            return v;
        }
    }
    return "<absent>";
}

// A service on a local TLS server, a configuration naming it and one minted partition.
class RestDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef XIMORA_DEV_ROOT_DIR
        GTEST_SKIP() << "built with a deployment root: no key to issue test partitions";
#else
        test_server::use_process_ca_bundle();
        dir_ = fs::temp_directory_path() /
               ("ximora-rest-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        ximora::pki::deployment_options_t options;
        options.partitions = {PARTITION};
        options.domain = "test-domain";
        ximora::pki::mint_deployment(ximora::pki::load_root(XIMORA_DEV_ROOT_DIR), dir_, options);
        ::setenv("MarlevonConfigurationPath", dir_.c_str(), 1);
        set_rest_sleep_for_testing(record_pause);
        Keepalive::clear_for_testing();
#endif
    }
    void TearDown() override {
        set_rest_sleep_for_testing(nullptr);
        ::unsetenv("MarlevonConfigurationPath");
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    // Writes the configuration for `server` and brings the transport up.
    void start(const test_server::TestServer& server, int eof_retries = 3,
               const std::string& extra_rest = "") {
        std::ofstream conf(dir_ / "Marlevon.conf");
        conf << "REST = {\n  ServerName = 127.0.0.1;\n  ServerPort = " << server.port()
             << ";\n  ClientPoolSize = 2;\n  ClientEofRetryCount = " << eof_retries
             << ";\n  ClientTimeoutSec = 1;\n  ClientConnectRetryCount = 1;\n"
             << "  ClientConnectIntervalMs = 10;\n" << extra_rest << "}\n"
             << "XTC = {\n  PartitionCAPath = " << (dir_ / "ca.pem").string()
             << ";\n  PartitionCertPath00 = "
             << (dir_ / ("partition-" + std::to_string(PARTITION) + ".pem")).string()
             << ";\n  TimeoutSec = 120;\n}\n";
        conf.close();
        ASSERT_TRUE(rest_initialize());
        std::lock_guard lock(g_pauses_mutex);
        g_pauses.clear();
    }

    static cmd_t command(std::uint64_t partition, std::size_t response_size = 96) {
        cmd_t cmd;
        cmd.code = ORVA_CREATE_OBJECT;
        cmd.partition = partition;
        cmd.request.assign(176, 0x5A);
        cmd.response.assign(response_size, 0);
        return cmd;
    }

    static std::vector<long> pauses() {
        std::lock_guard lock(g_pauses_mutex);
        return g_pauses;
    }

    fs::path dir_;
};

test_server::options_t tls_server() {
    test_server::options_t options;
    options.tls = test_server::process_tls();
    options.default_reply = reply(200, "ok");
    return options;
}

TEST_F(RestDriverTest, DefaultPartitionRequestCarriesExactlyTheseHeadersInThisOrder) {
    test_server::TestServer server(tls_server());
    start(server);
    cmd_t cmd = command(0);
    ASSERT_EQ(rest_send(cmd), RC_OK);
    EXPECT_EQ(std::string(cmd.response.begin(), cmd.response.end()), "ok");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/vHSM");
    EXPECT_EQ(names_of(r.headers),
              (std::vector<std::string>{"Content-Type", "User-Agent", "Client-Ver", "COMMAND",
                                        "Domain-ID", "Req-ID", "Content-Length"}));
    EXPECT_EQ(field(r.headers, "Content-Type"), "application/octet-stream");
    EXPECT_EQ(field(r.headers, "User-Agent"), "curl/7.35.0");
    EXPECT_EQ(field(r.headers, "Client-Ver"), "10.0.0");
    EXPECT_EQ(field(r.headers, "COMMAND"), "ORVA_CREATE_OBJECT");
    EXPECT_EQ(field(r.headers, "Domain-ID"), "test-domain");
    EXPECT_TRUE(std::regex_match(field(r.headers, "Req-ID"), std::regex("[0-9a-f]{6,8}-[0-9]{6}")));
    EXPECT_EQ(field(r.headers, "Content-Length"), "176");
    ASSERT_EQ(r.body.size(), 176u);
    EXPECT_EQ(wire::get_u32({reinterpret_cast<const std::uint8_t*>(r.body.data()), 16}, 0), 96u);
    EXPECT_EQ(static_cast<std::uint8_t>(r.body[16]), 0x5A);
}

TEST_F(RestDriverTest, PartitionRequestsCarryVersionsThatRepliesRaise) {
    test_server::TestServer server(tls_server());
    start(server, 3, "  XMAppSpecificData = app data;\n");
    server.push(reply(200, "", {{"Partition-Version", "15"}, {"App-Sessions-Version", "x:7"}}));
    cmd_t first = command(PARTITION);
    first.multipart_request = true;
    first.mutates_object = true;
    ASSERT_EQ(rest_send(first), RC_OK);
    EXPECT_TRUE(first.response.empty());  // a 200 without body empties the response
    EXPECT_EQ(Keepalive::partitions(), (std::set<std::uint64_t>{PARTITION}));

    cmd_t second = command(PARTITION);
    ASSERT_EQ(rest_send(second), RC_OK);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/vHSM/1234");
    EXPECT_EQ(names_of(requests[0].headers),
              (std::vector<std::string>{"Content-Type", "User-Agent", "Client-Ver",
                                        "XM-App-Specific-Data", "App-Sessions-Version", "COMMAND",
                                        "Domain-ID", "Multipart-Request", "Mutates-Object",
                                        "Session-ID", "Req-ID", "Content-Length"}));
    const std::string sessions = field(requests[0].headers, "App-Sessions-Version");
    EXPECT_TRUE(std::regex_match(sessions, std::regex("[A-Za-z0-9_-]{43}"))) << sessions;
    EXPECT_EQ(field(requests[1].headers, "App-Sessions-Version"), sessions + ":7");
    EXPECT_EQ(field(requests[1].headers, "Partition-Version"), "15");
    EXPECT_EQ(field(requests[0].headers, "XM-App-Specific-Data"), "app data");
}

struct StatusCase {
    const char* name;
    std::vector<test_server::reply_t> script;
    int eof_retries;
    bool multipart;
    std::uint32_t expected;
    std::size_t attempts;
    std::vector<long> pauses;
};

class RestDriverStatus : public RestDriverTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(RestDriverStatus, MapsRepliesAndRetriesAsTheServiceAsks) {
    const StatusCase& c = GetParam();
    auto options = tls_server();
    options.default_reply = reply(503);
    test_server::TestServer server(options);
    start(server, c.eof_retries);
    for (const auto& r : c.script) {
        server.push(r);
    }
    cmd_t cmd = command(PARTITION);
    cmd.multipart_request = c.multipart;
    EXPECT_EQ(rest_send(cmd), c.expected);
    EXPECT_EQ(server.requests().size(), c.attempts);
    EXPECT_EQ(pauses(), c.pauses);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestDriverStatus,
    ::testing::Values(
        StatusCase{"unauthorized", {reply(401)}, 3, false, RC_PIN_INVALID, 1, {}},
        StatusCase{"not_found", {reply(404)}, 3, false, RC_ARGUMENTS_BAD, 1, {}},
        StatusCase{"too_many", {reply(429)}, 3, false, RC_BUSY, 1, {}},
        StatusCase{"server_error", {reply(500)}, 3, false, RC_GENERAL_ERROR, 1, {}},
        StatusCase{"busy_throughout", {}, 3, false, RC_BUSY, 3, {200, 200, 200}},
        StatusCase{"no_budget", {}, 0, false, RC_BUSY, 0, {}},
        StatusCase{"busy_storm", {}, 15, false, RC_BUSY, 15, std::vector<long>(15, 200)},
        StatusCase{"busy_then_ok", {reply(503), reply(200)}, 3, false, RC_OK, 2, {200}},
        StatusCase{"retry_after_3", {reply(200, "", {{"Retry-After", "3"}}), reply(200)}, 3,
                   false, RC_OK, 2, {3000}},
        StatusCase{"retry_after_capped", {reply(503, "", {{"Retry-After", " 10 "}}), reply(200)},
                   3, false, RC_OK, 2, {5000}},
        StatusCase{"retry_after_garbage", {reply(503, "", {{"Retry-After", "x"}}), reply(200)},
                   3, false, RC_OK, 2, {200}},
        StatusCase{"multipart_busy", {}, 3, true, RC_RETRY, 1, {200}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RestDriverTest, ReplyLongerThanTheResponseBufferIsRefusedAndLeavesItAlone) {
    test_server::TestServer server(tls_server());
    start(server);
    server.push(reply(200, std::string(97, 'x')));
    cmd_t cmd = command(PARTITION, 96);
    EXPECT_EQ(rest_send(cmd), ORVA_RET_BUFFER_TOO_SMALL);
    EXPECT_EQ(cmd.response, std::vector<std::uint8_t>(96, 0));
}

TEST_F(RestDriverTest, DeadlineOnTheFirstAttemptIsATimeoutWithoutAnotherAttempt) {
    test_server::TestServer server(tls_server());
    start(server, 3);
    server.push(test_server::delayed(reply(200), 1500ms));
    cmd_t cmd = command(PARTITION);
    EXPECT_EQ(rest_send(cmd), XM_OPERATION_TIMED_OUT);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(RestDriverTest, ClosedKeepAliveConnectionIsRetriedOnAFreshClient) {
    test_server::TestServer server(tls_server());
    start(server, 3);
    server.push(test_server::closing(reply(200, "first")));
    cmd_t first = command(PARTITION);
    ASSERT_EQ(rest_send(first), RC_OK);
    cmd_t second = command(PARTITION);
    ASSERT_EQ(rest_send(second), RC_OK);
    EXPECT_EQ(std::string(second.response.begin(), second.response.end()), "ok");
    EXPECT_GE(server.connections(), 2u);
    EXPECT_EQ(pauses(), (std::vector<long>{200}));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string id = field(requests[1].headers, "Req-ID");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{6,8}-[0-9]{6}-01"))) << id;
}

TEST_F(RestDriverTest, StartUpFailsWhenTheServiceCannotBeReached) {
    std::uint16_t port = 0;
    {
        test_server::TestServer gone(tls_server());
        port = gone.port();
    }
    std::ofstream(dir_ / "Marlevon.conf")
        << "REST = {\n ServerName = 127.0.0.1;\n ServerPort = " << port
        << ";\n ClientConnectRetryCount = 1;\n ClientConnectIntervalMs = 1;\n}\n";
    EXPECT_FALSE(rest_initialize());
}

TEST_F(RestDriverTest, BearerTokenFromTheTokenServiceIsSent) {
    test_server::TestServer server(tls_server());
    const std::string base = "https://127.0.0.1:" + std::to_string(server.port());
    // A JWT-shaped token without "exp": renewed every 30 s, long after this test.
    const std::string token = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ0In0.sig";
    server.push(reply(200, R"({"token_endpoint": ")" + base + R"(/token"})"));
    server.push(reply(200, R"({"access_token": ")" + token + R"("})"));
    start(server, 3,
          "  AuthTokenRetrievalEnabled = true;\n  AuthTokenConfigURI = " + base +
              "/config;\n  AuthTokenClientId = id;\n  AuthTokenClientSecret = secret;\n");
    cmd_t cmd = command(PARTITION);
    ASSERT_EQ(rest_send(cmd), RC_OK);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, "/config");
    EXPECT_EQ(requests[1].target, "/token");
    EXPECT_EQ(field(requests[2].headers, "Authorization"), "Bearer " + token);
}

std::int32_t initialising() { return REST_PLUGIN_INITIALISING; }

TEST_F(RestDriverTest, DuringStartUpABusyServiceGetsASingleAttempt) {
    auto options = tls_server();
    options.default_reply = reply(503);
    test_server::TestServer server(options);
    start(server, 15);
    set_plugin_state_source(initialising);
    cmd_t cmd = command(PARTITION);
    const std::uint32_t rc = rest_send(cmd);
    set_plugin_state_source(nullptr);
    EXPECT_EQ(rc, RC_BUSY);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(RestDriverTest, HashedIdentifiersChangeWithEachInitialisation) {
    test_server::TestServer server(tls_server());
    start(server);
    cmd_t first = command(PARTITION);
    ASSERT_EQ(rest_send(first), RC_OK);
    start(server);
    cmd_t second = command(PARTITION);
    ASSERT_EQ(rest_send(second), RC_OK);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string before = field(requests[0].headers, "App-Sessions-Version");
    const std::string after = field(requests[1].headers, "App-Sessions-Version");
    EXPECT_EQ(before.size(), 43u);
    EXPECT_EQ(after.size(), 43u);
    EXPECT_NE(before, after);
}

TEST_F(RestDriverTest, AThreadsFirstRequestIsNumberOneAndItsRetriesCountAttempts) {
    auto options = tls_server();
    test_server::TestServer server(options);
    start(server, 3);
    server.push(reply(503));
    std::thread([] {
        cmd_t cmd = command(PARTITION);
        EXPECT_EQ(rest_send(cmd), RC_OK);
    }).join();
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string first = field(requests[0].headers, "Req-ID");
    const std::string retry = field(requests[1].headers, "Req-ID");
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{6,8}-000001"))) << first;
    EXPECT_EQ(retry, first + "-01");
}

}  // namespace
