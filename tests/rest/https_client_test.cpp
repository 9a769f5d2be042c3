#include "rest/HttpsClient.h"

#include <boost/system/system_error.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/SimpleLogger.h"
#include "tests/config/config_test_support.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using test_server::closing;
using test_server::reply;
using test_server::TestServer;

constexpr int OPERATION_CANCELLED = 125;  // ECANCELED: a deadline closed the socket
constexpr int BAD_FILE_DESCRIPTOR = 9;    // EBADF: no TCP connection under the TLS one
const char* const SERVER_CN = "ximora test server";

test_server::options_t tls_server(const ximora::pki::issued_t& identity) {
    test_server::options_t options;
    options.tls = test_server::process_tls();
    options.tls->identity = identity;
    return options;
}

test_server::options_t tls_server() { return tls_server(test_server::process_pki().server); }

HttpRequest get(const std::string& target) {
    HttpRequest r;
    r.setMethod(HttpRequest::Method::GET);
    r.setURL(target);
    return r;
}

// The text of what a call raised, and whether it was a system error; fails when nothing was.
struct raised_t {
    std::string what;
    bool system_error = false;
    int code = 0;
};

template <typename Call>
raised_t raised_by(Call&& call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return {e.what(), true, e.code().value()};
    } catch (const std::exception& e) {
        return {e.what(), false, 0};
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

std::string rejection(const std::string& reason, const std::string& host,
                      const std::string& cn = SERVER_CN) {
    return "HttpsClient::verify_certificate() failed: " + reason + ", Hostname=" + host +
           ", SubjectName=/O=Ximora/CN=" + cn;
}

// No proxy, no machine configuration, and the process CA as the CA bundle, which the first
// client of the process settles for all later ones.
class HttpsClientTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        env_.unset("ClientProxy");
        env_.unset("HTTPS_PROXY");
        env_.unset("SSLClientSideHostnameCheckEnabled");
        env_.unset("SSLClientSideVerifyFile");
        env_.set("CABundleFile", test_server::process_ca_bundle_path());
    }

    static std::unique_ptr<HttpsClient> client_for(const std::string& host, std::uint16_t port) {
        return std::make_unique<HttpsClient>(host, port, 5);
    }
};

TEST_F(HttpsClientTest, RoundTripsOverTls12WithAnAesGcmSuiteAndNoServerName) {
    TestServer server(tls_server());
    server.push(reply(200, "one", {{"Retry-After", "2"}}));
    server.push(reply(200, "two"));
    auto client = client_for("localhost", server.port());

    client->connect();
    ASSERT_TRUE(client->isConnected());
    const HttpResponse first = client->send_recv(get("/vHSM"));
    client->connect();  // connected: neither a new connection nor a new handshake
    EXPECT_EQ(client->send_recv(get("/vHSM")).getBody(), "two");

    EXPECT_EQ(first.getBody(), "one");
    EXPECT_EQ(first.getHeader("retry-after"), "2");
    EXPECT_EQ(server.connections(), 1U);
    const auto tls = server.tls_connections();
    ASSERT_EQ(tls.size(), 1U);
    EXPECT_TRUE(tls[0].handshake_done);
    EXPECT_EQ(tls[0].protocol, "TLSv1.2");
    EXPECT_THAT(tls[0].cipher,
                AnyOf("DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-AES128-GCM-SHA256",
                      "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-AES128-GCM-SHA256"));
    EXPECT_EQ(tls[0].server_name, "");
    ASSERT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(server.requests()[1].connection, 1U);
}

// ---- the server's identity ----

struct IdentityCase {
    const char* name;
    std::vector<std::string> alt_names;
    std::string host;     // the client's host during the handshake
    std::string failure;  // OpenSSL's reason; empty when the certificate is accepted
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }

class HttpsIdentityTest : public HttpsClientTest,
                          public ::testing::WithParamInterface<IdentityCase> {};

// The TCP connection goes to 127.0.0.1 whatever the name checked, so names need not resolve.
TEST_P(HttpsIdentityTest, ChecksTheHostNameOrIpAddress) {
    const IdentityCase& c = GetParam();
    TestServer server(tls_server(test_server::issue_server_identity(SERVER_CN, c.alt_names)));
    auto client = client_for("127.0.0.1", server.port());
    client->HttpClient::connect();
    client->setHost(c.host);

    if (c.failure.empty()) {
        EXPECT_NO_THROW(client->connect_handshake());
        EXPECT_TRUE(client->isSocketOpen());
        return;
    }
    const raised_t raised = raised_by([&] { client->connect_handshake(); });
    EXPECT_FALSE(raised.system_error);
    EXPECT_EQ(raised.what, rejection(c.failure, c.host));
    EXPECT_FALSE(client->isSocketOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Names, HttpsIdentityTest,
    ::testing::Values(
        IdentityCase{"HostName", {"DNS:localhost"}, "localhost", ""},
        IdentityCase{"IpAddress", {"IP:127.0.0.1"}, "127.0.0.1", ""},
        IdentityCase{"WholeLabelWildcard", {"DNS:*.example.test"}, "foo.example.test", ""},
        IdentityCase{"OtherHost", {"DNS:other.example.test"}, "localhost", "hostname mismatch"},
        IdentityCase{"IpLiteralAgainstAName", {"DNS:localhost"}, "127.0.0.1", "IP address mismatch"},
        IdentityCase{"NameAgainstAnAddress", {"IP:127.0.0.1"}, "localhost", "hostname mismatch"},
        IdentityCase{"PartialWildcard", {"DNS:f*.example.test"}, "foo.example.test",
                     "hostname mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpsClientTest, ACertificateFromAnotherCaIsRejected) {
    ximora::pki::cert_spec_t ca;
    ca.common_name = "Another CA";
    ximora::pki::cert_spec_t leaf;
    leaf.common_name = SERVER_CN;
    leaf.ca = false;
    leaf.key = ximora::pki::RSA_2048;
    leaf.subject_alt_names = {"DNS:localhost"};
    TestServer server(tls_server(ximora::pki::issue(ximora::pki::self_signed(ca), leaf)));
    auto client = client_for("localhost", server.port());

    EXPECT_EQ(raised_by([&] { client->connect(); }).what,
              rejection("unable to get local issuer certificate", "localhost"));
    EXPECT_FALSE(client->isConnected());
}

// ---- protocol and suites ----

struct RefusalCase {
    const char* name;
    void (*restrict)(test_server::options_t&);
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class HttpsRefusalTest : public HttpsClientTest,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HttpsRefusalTest, FailsTheHandshake) {
    test_server::options_t options = tls_server();
    GetParam().restrict(options);
    TestServer server(options);
    auto client = client_for("localhost", server.port());

    EXPECT_TRUE(raised_by([&] { client->connect(); }).system_error);
    EXPECT_FALSE(client->isConnected());
    ASSERT_EQ(server.tls_connections().size(), 1U);
    EXPECT_FALSE(server.tls_connections()[0].handshake_done);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HttpsRefusalTest,
    ::testing::Values(
        RefusalCase{"OnlyTls11",
                    [](test_server::options_t& o) {
                        o.tls->min_version = o.tls->max_version = test_server::tls_version::tls1_1;
                    }},
        RefusalCase{"OnlyCbcSuites",
                    [](test_server::options_t& o) {
                        o.tls->max_version = test_server::tls_version::tls1_2;
                        o.tls->cipher_list = "ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA:AES128-SHA";
                    }},
        RefusalCase{"OnlyTls13",
                    [](test_server::options_t& o) {
                        o.tls->min_version = test_server::tls_version::tls1_3;
                    }},
        RefusalCase{"EcdsaCertificate",
                    [](test_server::options_t& o) {
                        o.tls->identity = test_server::issue_server_identity(
                            SERVER_CN, {"DNS:localhost"}, ximora::pki::EC_P384);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpsClientTest, ASilentServerFailsTheHandshakeAtItsDeadline) {
    test_server::options_t options = tls_server();
    options.tls->answer_handshake = false;
    TestServer server(options);
    auto client = client_for("localhost", server.port());
    HttpClient::StepDeadlines deadlines;
    deadlines.handshake = 300ms;  // far below the default, which tests would wait out
    client->setStepDeadlinesForTesting(deadlines);

    EXPECT_EQ(raised_by([&] { client->connect(); }).code, OPERATION_CANCELLED);
    EXPECT_FALSE(client->isSocketOpen());
    EXPECT_FALSE(client->isConnected());
}

TEST_F(HttpsClientTest, AHandshakeWithoutATcpConnectionFailsWithBadDescriptor) {
    auto client = client_for("localhost", 1);
    client->connectViaProxy("no-such-proxy.invalid", "3128");  // leaves no connection
    const raised_t raised = raised_by([&] { client->connect_handshake(); });
    EXPECT_EQ(raised.code, BAD_FILE_DESCRIPTOR);
    EXPECT_THAT(raised.what, StartsWith("set_option"));
}

TEST_F(HttpsClientTest, AReconnectStartsAFreshSession) {
    TestServer server(tls_server());
    server.push(closing(reply(200, "first")));
    server.push(reply(200, "second"));
    auto client = client_for("localhost", server.port());
    client->connect();
    EXPECT_EQ(client->send_recv(get("/")).getBody(), "first");
    EXPECT_THROW(client->recv(), boost::system::system_error);  // the server has gone
    EXPECT_FALSE(client->isConnected());

    client->connect();
    EXPECT_EQ(client->send_recv(get("/")).getBody(), "second");
    const auto tls = server.tls_connections();
    ASSERT_EQ(tls.size(), 2U);
    EXPECT_TRUE(tls[1].handshake_done);
    EXPECT_FALSE(tls[1].session_reused);
}

// ---- the connect loop ----

TEST_F(HttpsClientTest, TheConnectLoopRetriesFailedHandshakes) {
    test_server::options_t options;
    options.close_on_accept = true;
    TestServer server(options);
    auto client = client_for("localhost", server.port());
    client->connect(3, 10);
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(server.connections(), 3U);
}

TEST_F(HttpsClientTest, TheConnectLoopStopsAtARejectedCertificate) {
    TestServer server(tls_server(test_server::issue_server_identity(SERVER_CN, {"DNS:other.test"})));
    auto client = client_for("localhost", server.port());
    client->connect(5, 10);
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(server.connections(), 1U);
}

// Lines of `log` at warning level that end with `message`.
int warnings_ending_with(const std::string& log, const std::string& message) {
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.find(": warning: Thrd=") != std::string::npos &&
                 line.ends_with(", " + message);
    }
    return count;
}

TEST_F(HttpsClientTest, TheConnectLoopLogsTheRejection) {
    test_server::expect_in_fresh_process([]() -> std::string {
        ::setenv("AppLogLevel", "warning", 1);
        std::ostringstream log;
        SimpleLogger::setTestSeams(nullptr, &log);
        TestServer server(tls_server(test_server::issue_server_identity(SERVER_CN, {"DNS:other.test"})));
        auto client = client_for("localhost", server.port());
        client->connect(5, 10);
        SimpleLogger::setTestSeams(nullptr, nullptr);
        const std::string expected = "connect(): Failed to connect to: localhost:" +
                                     std::to_string(server.port()) + " with message: " +
                                     rejection("hostname mismatch", "localhost");
        return warnings_ending_with(log.str(), expected) == 1 ? "" : "log:\n" + log.str();
    });
}

// ---- settled once per process: host check switch, proxy, CA bundle ----

TEST_F(HttpsClientTest, WithTheHostCheckOffAnotherHostsCertificateIsAccepted) {
    test_server::expect_in_fresh_process([]() -> std::string {
        ::setenv("SSLClientSideHostnameCheckEnabled", "false", 1);
        TestServer server(tls_server(test_server::issue_server_identity(SERVER_CN, {"DNS:other.test"})));
        auto client = client_for("localhost", server.port());
        client->connect();
        return client->isConnected() ? "" : "not connected";
    });
}

TEST_F(HttpsClientTest, TheTlsSessionRunsThroughTheConfiguredProxy) {
    test_server::expect_in_fresh_process([]() -> std::string {
        const test_server::TinyProxy proxy;
        ::setenv("ClientProxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
        TestServer server(tls_server());
        server.push(reply(200, "via proxy"));
        auto client = client_for("127.0.0.1", server.port());
        client->connect();
        const std::string body = client->send_recv(get("/vHSM")).getBody();

        const std::string connect_line = "CONNECT 127.0.0.1:" + std::to_string(server.port());
        if (body != "via proxy" || server.requests().size() != 1) {
            return "no answer through the proxy, body: " + body;
        }
        if (proxy.log().find(connect_line) == std::string::npos) {
            return "the proxy did not carry the connection:\n" + proxy.log();
        }
        return "";
    });
}

struct CaChoiceCase {
    const char* name;
    enum class setting { none, bundle_missing, bundle_without_certs, verify_file_valid } choice;
};

void PrintTo(const CaChoiceCase& c, std::ostream* os) { *os << c.name; }

class CaBundleChoiceTest : public HttpsClientTest,
                           public ::testing::WithParamInterface<CaChoiceCase> {};

// The built-in locations in the order they are tried.
constexpr std::array<const char*, 5> BUILT_IN = {
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/ca-bundle.pem", "/etc/pki/tls/cacert.pem"};

std::string write_text_file(const std::string& dir) {
    const std::string path = dir + "/no-certificates.pem";
    std::ofstream(path) << "just some text\n";
    return path;
}

// What getCAFile settles for the case, and what it must settle, in the fresh process.
std::string check_ca_choice(CaChoiceCase::setting choice, const std::string& dir) {
    using setting = CaChoiceCase::setting;
    const std::string process_ca = test_server::process_ca_bundle_path();
    ::unsetenv("CABundleFile");
    std::string expected_path;
    std::optional<std::string> expected_rc;
    if (choice == setting::bundle_missing) {
        ::setenv("CABundleFile", (dir + "/missing.pem").c_str(), 1);
        expected_rc = "Unable to open file specified by CA bundle file (" + dir +
                      "/missing.pem) for reading, No such file or directory";
    } else if (choice == setting::verify_file_valid) {
        ::setenv("SSLClientSideVerifyFile", process_ca.c_str(), 1);
        expected_path = process_ca;
    } else if (choice == setting::none) {
        expected_rc = "No system CA bundle found using built-in search path. Specify with "
                      "SSLClientSideVerifyFile";
        for (const char* location : BUILT_IN) {
            if (!isCAFileValid(location, "x")) {
                expected_path = location;
                expected_rc.reset();
                break;
            }
        }
    }
    std::string path = "unchanged";
    const auto rc = getCAFile(path);
    ::setenv("CABundleFile", process_ca.c_str(), 1);  // too late: the choice is made
    std::string again;
    if (isValidSSLClientConfiguration() != rc || getCAFile(again) != rc || again != path) {
        return "the choice changed after the first call";
    }
    if (choice == setting::bundle_without_certs) {
        return rc && rc->starts_with("load_verify_file: ") && path.empty() ? "" : "rc: " + rc.value_or("none");
    }
    if (rc != expected_rc || path != expected_path) {
        return "got path [" + path + "] rc [" + rc.value_or("none") + "]";
    }
    return "";
}

TEST_P(CaBundleChoiceTest, IsSettledOnceWithTheDocumentedTexts) {
    const CaChoiceCase::setting choice = GetParam().choice;
    test_server::expect_in_fresh_process([choice]() -> std::string {
        const config_test::TempDir dir;
        if (choice == CaChoiceCase::setting::bundle_without_certs) {
            ::setenv("CABundleFile", write_text_file(dir.path()).c_str(), 1);
            std::string path;
            getCAFile(path);
            const raised_t raised = raised_by([] { HttpsClient client("localhost", 1, 1); });
            if (!raised.system_error || !raised.what.starts_with("load_verify_file")) {
                return "the constructor raised: " + raised.what;
            }
        }
        return check_ca_choice(choice, dir.path());
    });
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CaBundleChoiceTest,
    ::testing::Values(CaChoiceCase{"NoneConfigured", CaChoiceCase::setting::none},
                      CaChoiceCase{"ConfiguredMissing", CaChoiceCase::setting::bundle_missing},
                      CaChoiceCase{"ConfiguredWithoutCertificates",
                                   CaChoiceCase::setting::bundle_without_certs},
                      CaChoiceCase{"VerifyFileFallback", CaChoiceCase::setting::verify_file_valid}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpsClientTest, IsCAFileValidNamesWhatIsWrong) {
    const config_test::TempDir dir;
    const std::string missing = dir.path() + "/missing.pem";
    EXPECT_EQ(isCAFileValid("", "file specified by CA bundle file"),
              "Unspecified file specified by CA bundle file");
    EXPECT_EQ(isCAFileValid(missing, "built-in search path for system CA bundles"),
              "Unable to open built-in search path for system CA bundles (" + missing +
                  ") for reading, No such file or directory");
    EXPECT_THAT(isCAFileValid(write_text_file(dir.path()), "x").value_or(""),
                StartsWith("load_verify_file: "));
    EXPECT_EQ(isCAFileValid(test_server::process_ca_bundle_path(), "x"), std::nullopt);
}

}  // namespace
