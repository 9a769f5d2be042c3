#include "rest/HttpClient.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "config/SimpleLogger.h"
#include "rest/plugin_state_source.h"
#include "tests/config/config_test_support.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using test_server::closing;
using test_server::delayed;
using test_server::raw_reply;
using test_server::reply;
using test_server::TestServer;

constexpr int OPERATION_CANCELLED = 125;  // ECANCELED: a deadline closed the socket
const char* const UNRESOLVABLE_HOST = "no-such-host.invalid";

// A deadline far below the step's default, for steps made to expire.
constexpr auto EXPIRING_DEADLINE = 300ms;

// A loopback port that refuses connections: taken from a server that is gone again.
std::uint16_t refused_port() {
    const TestServer gone;
    return gone.port();
}

HttpRequest request(HttpRequest::Method method, const std::string& target,
                    const std::string& body = "") {
    HttpRequest r;
    r.setMethod(method);
    r.setURL(target);
    r.setBody(body);
    return r;
}

// The system error a call raised; fails the test when it raised none.
template <typename Call>
boost::system::error_code error_of(Call&& call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return e.code();
    }
    ADD_FAILURE() << "no system error raised";
    return {};
}

// Every test starts without a proxy and without a configuration file of the machine.
class HttpClientTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        env_.unset("ClientProxy");
        env_.unset("HTTPS_PROXY");
    }

    std::unique_ptr<HttpClient> client_for(const TestServer& server, std::uint32_t timeout = 5) {
        return std::make_unique<HttpClient>("127.0.0.1", server.port(), timeout);
    }
};

struct TimeoutCase {
    std::uint32_t given;
    std::int32_t stored;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.given; }

class HttpClientTimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(HttpClientTimeoutTest, ZeroOrNegativeBecomesOneSecond) {
    const HttpClient client("127.0.0.1", 1, GetParam().given);
    EXPECT_EQ(client.getTimeout(), GetParam().stored);
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.isSocketOpen());
}

INSTANTIATE_TEST_SUITE_P(Values, HttpClientTimeoutTest,
                         ::testing::Values(TimeoutCase{0, 1}, TimeoutCase{1, 1}, TimeoutCase{7, 7},
                                           TimeoutCase{0x7FFFFFFF, 0x7FFFFFFF},
                                           TimeoutCase{0x80000000, 1}, TimeoutCase{0xFFFFFFFB, 1}));

TEST_F(HttpClientTest, RoundTripsTwoRequestsOnOneConnection) {
    TestServer server;
    server.push(reply(200, "first", {{"Retry-After", "3"}, {"X-Two", "b"}}));
    server.push(reply(201, "second"));
    auto client = client_for(server);

    client->connect();
    ASSERT_TRUE(client->isConnected());
    HttpRequest post = request(HttpRequest::Method::POST, "/vHSM/1234", std::string("\0\1bin", 5));
    post.setHeader("Content-Type", "application/octet-stream");
    post.setHeader("COMMAND", "ORVA_GET");
    post.setHeader("Content-Length", "999");  // replaced by the body's real length
    const HttpResponse first = client->send_recv(post);
    client->connect();  // already connected: no new connection
    const HttpResponse second = client->send_recv(request(HttpRequest::Method::GET, "/second"));

    EXPECT_EQ(first.getStatus(), 200);
    EXPECT_EQ(first.getBody(), "first");
    EXPECT_EQ(first.getHeader("retry-after"), "3");
    EXPECT_EQ(second.getStatus(), 201);
    EXPECT_EQ(second.getBody(), "second");
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/vHSM/1234");
    EXPECT_THAT(seen[0].headers, ElementsAre(Pair("Content-Type", "application/octet-stream"),
                                             Pair("COMMAND", "ORVA_GET"),
                                             Pair("Content-Length", "5")));
    EXPECT_EQ(seen[0].body, std::string("\0\1bin", 5));
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_THAT(seen[1].headers, ElementsAre(Pair("Content-Length", "0")));
    EXPECT_EQ(seen[0].connection, 1U);
    EXPECT_EQ(seen[1].connection, 1U);
    EXPECT_EQ(server.connections(), 1U);
}

TEST_F(HttpClientTest, BytesAfterOneResponseAreKeptForTheNext) {
    TestServer server;
    server.push(raw_reply("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na"
                          "HTTP/1.1 202 Accepted\r\nContent-Length: 1\r\n\r\nb"));
    server.push(reply(204));
    auto client = client_for(server);
    client->connect();

    EXPECT_EQ(client->send_recv(request(HttpRequest::Method::GET, "/1")).getBody(), "a");
    const HttpResponse buffered = client->send_recv(request(HttpRequest::Method::GET, "/2"));
    EXPECT_EQ(buffered.getStatus(), 202);
    EXPECT_EQ(buffered.getBody(), "b");
    EXPECT_EQ(client->recv().getStatus(), 204);  // the server's answer to the second request
}

TEST_F(HttpClientTest, ALateReplyFailsWith125AndClosesTheSocket) {
    TestServer server;
    server.push(delayed(reply(200, "late"), 3s));
    server.push(reply(200, "in time"));
    auto client = client_for(server, 0);  // 0 gives the one-second minimum
    client->connect();

    client->send(request(HttpRequest::Method::GET, "/slow"));
    const auto ec = error_of([&] { client->recv(); });
    EXPECT_EQ(ec.value(), OPERATION_CANCELLED);
    EXPECT_EQ(ec.category(), boost::system::system_category());
    EXPECT_FALSE(client->isSocketOpen());
    EXPECT_FALSE(client->isConnected());

    client->connect();  // starts again on the same object
    EXPECT_EQ(client->send_recv(request(HttpRequest::Method::GET, "/again")).getBody(), "in time");
    EXPECT_EQ(server.connections(), 2U);
}

TEST_F(HttpClientTest, AServerThatClosedEndsTheStreamAndTheClientReconnects) {
    TestServer server;
    server.push(closing(reply(200, "bye")));
    server.push(reply(200, "hello again"));
    auto client = client_for(server);
    client->connect();
    EXPECT_EQ(client->send_recv(request(HttpRequest::Method::GET, "/")).getBody(), "bye");

    EXPECT_EQ(error_of([&] { client->recv(); }).message(), "end of stream");
    EXPECT_FALSE(client->isConnected());  // a failed step leaves nothing to lend again

    client->connect();
    EXPECT_EQ(client->send_recv(request(HttpRequest::Method::GET, "/")).getBody(), "hello again");
    EXPECT_EQ(server.connections(), 2U);
}

struct BadResponseCase {
    const char* name;
    std::string raw;
};

void PrintTo(const BadResponseCase& c, std::ostream* os) { *os << c.name; }

class HttpClientBadResponseTest : public HttpClientTest,
                                  public ::testing::WithParamInterface<BadResponseCase> {};

TEST_P(HttpClientBadResponseTest, IsAReadErrorThatClosesTheConnection) {
    TestServer server;
    server.push(closing(raw_reply(GetParam().raw)));
    auto client = client_for(server);
    client->connect();
    client->send(request(HttpRequest::Method::GET, "/"));
    EXPECT_THROW(client->recv(), boost::system::system_error);
    EXPECT_FALSE(client->isConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Responses, HttpClientBadResponseTest,
    ::testing::Values(
        BadResponseCase{"NotHttp", "NOT HTTP AT ALL\r\n\r\n"},
        BadResponseCase{"FieldsOver8KiB", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(8200, 'a') +
                                              "\r\nContent-Length: 0\r\n\r\n"},
        BadResponseCase{"BodyOver8MiB", "HTTP/1.1 200 OK\r\nContent-Length: 8388609\r\n\r\n"},
        BadResponseCase{"CutShort", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"},
        BadResponseCase{"NulInAField", std::string("HTTP/1.1 200 OK\r\nX-A: a\0b\r\n\r\n", 29)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpClientTest, ABodyOfExactly8MiBIsAccepted) {
    TestServer server;
    server.push(reply(200, std::string(8 * 1024 * 1024, 'x')));
    auto client = client_for(server);
    client->connect();
    EXPECT_EQ(client->send_recv(request(HttpRequest::Method::GET, "/")).getBody().size(),
              8U * 1024 * 1024);
}

// ---- the connect loop ----

std::atomic<std::int32_t> s_test_plugin_state{REST_PLUGIN_RUNNING};
std::int32_t test_plugin_state() { return s_test_plugin_state.load(); }

class ConnectLoopTest : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        s_test_plugin_state = REST_PLUGIN_RUNNING;
        set_plugin_state_source(&test_plugin_state);
    }
    void TearDown() override { set_plugin_state_source(nullptr); }
};

TEST_F(ConnectLoopTest, NeverRaisesAndLeavesTheClientUnconnected) {
    HttpClient client("127.0.0.1", refused_port(), 1);
    EXPECT_NO_THROW(client.connect(3, 10));
    EXPECT_FALSE(client.isConnected());
}

TEST_F(ConnectLoopTest, ZeroAttemptsOrAFinalisingPlugInMakeNoConnection) {
    TestServer server;
    HttpClient idle("127.0.0.1", server.port(), 1);
    idle.connect(0, 10);
    s_test_plugin_state = REST_PLUGIN_FINALISING;
    HttpClient finalising("127.0.0.1", server.port(), 1);
    finalising.connect(5, 10);

    EXPECT_FALSE(idle.isConnected());
    EXPECT_FALSE(finalising.isConnected());
    EXPECT_FALSE(server.wait_for_connections(1, 200ms));
}

TEST_F(ConnectLoopTest, AnEndlessLoopStopsWhenThePlugInFinalises) {
    HttpClient client("127.0.0.1", refused_port(), 1);
    auto loop = std::async(std::launch::async, [&] { client.connect(-1, 1000); });
    EXPECT_EQ(loop.wait_for(300ms), std::future_status::timeout);  // still retrying
    s_test_plugin_state = REST_PLUGIN_FINALISING;
    EXPECT_EQ(loop.wait_for(10s), std::future_status::ready);  // within the long pause
    EXPECT_FALSE(client.isConnected());
}

TEST_F(ConnectLoopTest, AnUnresolvableHostIsReportedWithoutEndingTheProcess) {
    HttpClient client(UNRESOLVABLE_HOST, 443, 1);
    ::testing::internal::CaptureStderr();
    const auto ec = error_of([&] { client.connect(); });
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ec, boost::asio::error::host_not_found);
    EXPECT_THAT(written, HasSubstr("HttpClient::connect(): failed to resolve host: " +
                                   std::string(UNRESOLVABLE_HOST)));

    ::testing::internal::CaptureStderr();
    client.connect(2, 10);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(client.isConnected());
}

// Lines of `log` at `level` ("warning", "  fatal") that end with `message`.
int count_lines(const std::string& log, const std::string& level, const std::string& message) {
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(": " + level + ": Thrd=") != std::string::npos &&
            line.ends_with(", " + message)) {
            ++count;
        }
    }
    return count;
}

// The log threshold is settled once per process, so the lines are checked in a fresh one.
TEST_F(ConnectLoopTest, LogsOneLineWhenItGivesUp) {
    test_server::expect_in_fresh_process([]() -> std::string {
        ::setenv("AppLogLevel", "warning", 1);
        std::ostringstream log;
        SimpleLogger::setTestSeams(nullptr, &log);
        const std::uint16_t port = refused_port();
        HttpClient refused("127.0.0.1", port, 1);
        refused.connect(3, 10);
        ::testing::internal::CaptureStderr();
        HttpClient unresolvable(UNRESOLVABLE_HOST, 443, 1);
        unresolvable.connect(2, 10);
        ::testing::internal::GetCapturedStderr();
        SimpleLogger::setTestSeams(nullptr, nullptr);

        const std::string text = log.str();
        const std::string resolve_failure =
            std::string("HttpClient::connect(): failed to resolve host: ") + UNRESOLVABLE_HOST;
        const bool expected =
            count_lines(text, "warning",
                        "connect(): Failed to connect to: 127.0.0.1:" + std::to_string(port) +
                            " after 3 attempts at an interval of 10 milliseconds with message: "
                            "connect: Connection refused") == 1 &&
            count_lines(text, "  fatal", resolve_failure) == 2 &&
            count_lines(text, "warning",
                        std::string("connect(): Failed to connect to: ") + UNRESOLVABLE_HOST +
                            ":443 after 2 attempts at an interval of 10 milliseconds with "
                            "message: " + resolve_failure + ": Host not found (authoritative)") ==
                1;
        return expected ? "" : "unexpected log:\n" + text;
    });
}

// ---- CONNECT through a proxy ----

TEST_F(HttpClientTest, ConnectViaProxyOpensATunnelWithTheFourFields) {
    TestServer proxy;  // plays the proxy and, behind the tunnel, the server
    proxy.push(raw_reply("HTTP/1.1 200 Connection established\r\n\r\n"));  // no length: none read
    proxy.push(reply(200, "through"));
    HttpClient client("service.example", 8443, 5);

    client.connectViaProxy("127.0.0.1", std::to_string(proxy.port()));
    client.setIsConnected(true);
    EXPECT_EQ(client.send_recv(request(HttpRequest::Method::GET, "/x")).getBody(), "through");

    const auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].method, "CONNECT");
    EXPECT_EQ(seen[0].target, "service.example:8443");
    EXPECT_THAT(seen[0].headers,
                ElementsAre(Pair("Host", "service.example:8443"), Pair("User-Agent", "curl/7.35.0"),
                            Pair("Cache-Control", "no-cache"), Pair("Proxy-Connection", "Keep-Alive")));
    EXPECT_EQ(seen[1].target, "/x");
    EXPECT_EQ(seen[1].connection, seen[0].connection);
}

TEST_F(HttpClientTest, ConnectViaProxyFailsOnARefusalOrASilentProxy) {
    TestServer proxy;
    proxy.push(raw_reply("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"));
    proxy.push(delayed(reply(200), 3s));  // answers long after the proxy deadline
    HttpClient client("service.example", 8443, 5);
    HttpClient::StepDeadlines deadlines;
    deadlines.proxyConnect = EXPIRING_DEADLINE;
    client.setStepDeadlinesForTesting(deadlines);

    EXPECT_THROW(client.connectViaProxy("127.0.0.1", std::to_string(proxy.port())),
                 boost::system::system_error);
    EXPECT_FALSE(client.isSocketOpen());
    EXPECT_EQ(error_of([&] { client.connectViaProxy("127.0.0.1", std::to_string(proxy.port())); })
                  .value(),
              OPERATION_CANCELLED);
    EXPECT_FALSE(client.isSocketOpen());
}

TEST_F(HttpClientTest, AnUnresolvableProxyLeavesTheClientWithoutAConnection) {
    HttpClient client("service.example", 8443, 5);
    EXPECT_NO_THROW(client.connectViaProxy(UNRESOLVABLE_HOST, "3128"));
    EXPECT_FALSE(client.isSocketOpen());
    client.setIsConnected(true);
    EXPECT_FALSE(client.isConnected());
}

}  // namespace
