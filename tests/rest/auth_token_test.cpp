#include "rest/AuthTokenRetriever.h"

#include <gtest/gtest.h>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/SimpleLogger.h"
#include "rest/base64.h"
#include "tests/config/config_test_support.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr auto GENEROUS = 10s;  // only a hang runs into this
constexpr auto LONG_PAUSE = 10h;
const auto T0 = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
constexpr std::int64_t T0_SECONDS = 1'700'000'000;

// One scripted answer of the token service: a reply, or an error raised by the exchange.
struct Reply {
    int status = 200;
    std::string body;
    std::function<void()> raise;
};

Reply ok(std::string body) {
    return Reply{200, std::move(body), {}};
}
Reply status(int code, std::string body = "") {
    return Reply{code, std::move(body), {}};
}
Reply refused() {
    return Reply{0, "", [] {
                     throw boost::system::system_error(
                         boost::system::error_code(ECONNREFUSED, boost::system::system_category()),
                         "connect");
                 }};
}
Reply rejected_certificate() {
    return Reply{0, "", [] {
                     throw std::runtime_error("HttpsClient::verify_certificate() failed: expired");
                 }};
}

std::string token_reply(const std::string& token) {
    return nlohmann::json{{"access_token", token}, {"token_type", "bearer"}}.dump();
}

std::string jwt_with_payload(const std::string& payload) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    return "eyJhbGciOiJSUzI1NiJ9." + base64url_encode(std::span(bytes, payload.size())) + ".c2ln";
}

std::string jwt_expiring_at(std::int64_t exp) {
    return jwt_with_payload(R"({"sub":"client","exp":)" + std::to_string(exp) + "}");
}

// A token service that answers from a script (the last reply repeats) and records every
// request. While held, exchanges wait until release().
class FakeTokenService {
  public:
    struct Call {
        std::string host;
        std::uint16_t port;
        std::int32_t timeout;
        HttpRequest request;
    };

    explicit FakeTokenService(std::vector<Reply> script = {ok(token_reply("opaque"))})
        : script_(script.begin(), script.end()) {}

    auth_exchange_t exchange() {
        return [this](const std::string& host, std::uint16_t port, std::int32_t timeout,
                      const HttpRequest& request) { return answer(host, port, timeout, request); };
    }

    void script(std::vector<Reply> replies) {
        std::lock_guard lock(mutex_);
        script_.assign(replies.begin(), replies.end());
    }
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool waitForCalls(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, GENEROUS, [&] { return calls_.size() >= count; });
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    HttpResponse answer(const std::string& host, std::uint16_t port, std::int32_t timeout,
                        const HttpRequest& request) {
        std::unique_lock lock(mutex_);
        calls_.push_back(Call{host, port, timeout, request});
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        const Reply reply = script_.front();
        if (script_.size() > 1) {
            script_.pop_front();
        }
        lock.unlock();
        if (reply.raise) {
            reply.raise();
        }
        HttpResponse response;
        response.setStatus(reply.status);
        response.setBody(reply.body);
        return response;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Reply> script_;
    std::vector<Call> calls_;
    bool held_ = false;
};

// Runs fn on another thread; a hang ends the test program, since the stuck thread cannot be
// abandoned safely.
template <typename Fn>
auto finishes(Fn fn) {
    auto result = std::async(std::launch::async, std::move(fn));
    if (result.wait_for(GENEROUS) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: a wait that should have ended promptly hung\n");
        std::_Exit(1);
    }
    return result.get();
}

const std::string HOST = "uaa.example";
constexpr std::uint16_t PORT = 8443;
const std::string PATH = "/oauth/token";

// ---------------------------------------------------------------------------------------------
// The token request

struct CredentialsCase {
    const char* name;
    std::string id;
    std::string secret;
    std::optional<std::string> authorization;
};

class TokenRequestTest : public ::testing::TestWithParam<CredentialsCase> {};

TEST_P(TokenRequestTest, FieldsInOrderAndBasicOnlyWithBothCredentials) {
    const CredentialsCase& c = GetParam();
    FakeTokenService service;
    AuthTokenRetriever retriever(service.exchange());
    retriever.sendRequestToUAA(HOST, PORT, PATH, c.id, c.secret);

    ASSERT_EQ(service.calls().size(), 1u);
    const FakeTokenService::Call call = service.calls().front();
    EXPECT_EQ(call.host, HOST);
    EXPECT_EQ(call.port, PORT);
    EXPECT_EQ(call.timeout, 5);
    EXPECT_EQ(call.request.getMethodText(), "POST");
    EXPECT_EQ(call.request.getVersion(), HttpRequest::HTTP_1_1);
    EXPECT_EQ(call.request.getURL(), PATH);
    const std::string body = "grant_type=client_credentials&token_format=jwt";
    EXPECT_EQ(call.request.getBody(), body);

    HttpFields expected = {{"User-Agent", "Boost.Beast/181"},
                           {"Content-Type", "application/x-www-form-urlencoded"},
                           {"Accept", "application/json"},
                           {"Host", HOST}};
    if (c.authorization) {
        expected.emplace_back("Authorization", *c.authorization);
    }
    expected.emplace_back("Content-Length", std::to_string(body.size()));
    EXPECT_EQ(call.request.getFields(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, TokenRequestTest,
    ::testing::Values(CredentialsCase{"Both", "client", "s3cr:et", "Basic Y2xpZW50OnMzY3I6ZXQ="},
                      CredentialsCase{"IdOnly", "client", "", std::nullopt},
                      CredentialsCase{"SecretOnly", "", "s3cr:et", std::nullopt},
                      CredentialsCase{"Neither", "", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenRequest, EmptyPathIsSentAsTheRoot) {
    FakeTokenService service;
    AuthTokenRetriever retriever(service.exchange());
    retriever.sendRequestToUAA(HOST, PORT, "", "", "");
    ASSERT_EQ(service.calls().size(), 1u);
    EXPECT_EQ(service.calls().front().request.getURL(), "/");
}

TEST(TokenRequest, ErrorsOtherThanSystemErrorsReachTheCaller) {
    FakeTokenService service({rejected_certificate()});
    AuthTokenRetriever retriever(service.exchange());
    EXPECT_THROW(retriever.sendRequestToUAA(HOST, PORT, PATH, "id", "secret"), std::runtime_error);
}

// ---------------------------------------------------------------------------------------------
// The configuration document

struct ConfigCase {
    const char* name;
    Reply reply;
    bool found;
    std::string host;
    std::uint16_t port;
    std::string path;
};

class FetchConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(FetchConfigTest, ReplacesTheArgumentsOnlyWithAUsableEndpoint) {
    const ConfigCase& c = GetParam();
    FakeTokenService service({c.reply});
    AuthTokenRetriever retriever(service.exchange());
    std::string host = "config.example";
    std::uint16_t port = 443;
    std::string path = "/.well-known/openid-configuration";

    EXPECT_EQ(retriever.fetchAuthTokenConfig(host, port, path), c.found);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
    const std::vector<FakeTokenService::Call> calls = service.calls();
    ASSERT_EQ(calls.size(), 1u);
    const HttpRequest& sent = calls.front().request;
    EXPECT_EQ(calls.front().host, "config.example");
    EXPECT_EQ(sent.getURL(), "/.well-known/openid-configuration");
    EXPECT_FALSE(sent.getHeader("Authorization").has_value());
}

const char* const CONFIG_PATH = "/.well-known/openid-configuration";
INSTANTIATE_TEST_SUITE_P(
    Documents, FetchConfigTest,
    ::testing::Values(
        ConfigCase{
            "Https",
            ok(R"({"issuer":"x","token_endpoint":"https://uaa.example:8443/oauth/token?a=1#f"})"),
            true, "uaa.example", 8443, "/oauth/token"},
        ConfigCase{"Http", ok(R"({"token_endpoint":"http://10.1.2.3:80/token"})"), true, "10.1.2.3",
                   80, "/token"},
        ConfigCase{"MissingEndpoint", ok(R"({"issuer":"https://uaa.example"})"), false,
                   "config.example", 443, CONFIG_PATH},
        ConfigCase{"NotAUri", ok(R"({"token_endpoint":"ftp://uaa.example:21/token"})"), false,
                   "config.example", 443, CONFIG_PATH},
        ConfigCase{"NotAString", ok(R"({"token_endpoint":42})"), false, "config.example", 443,
                   CONFIG_PATH},
        ConfigCase{"NotAnObject", ok(R"(["https://uaa.example:8443/token"])"), false,
                   "config.example", 443, CONFIG_PATH}),
    [](const auto& info) { return std::string(info.param.name); });

class FetchConfigNotJsonTest : public ::testing::TestWithParam<Reply> {};

TEST_P(FetchConfigNotJsonTest, RaisesTheParseError) {
    FakeTokenService service({GetParam()});
    AuthTokenRetriever retriever(service.exchange());
    std::string host = "config.example";
    std::uint16_t port = 443;
    std::string path = "/config";
    EXPECT_THROW(retriever.fetchAuthTokenConfig(host, port, path), nlohmann::json::parse_error);
    EXPECT_EQ(host, "config.example");
}

// A failed request gives an empty body, which is not JSON either.
INSTANTIATE_TEST_SUITE_P(Replies, FetchConfigNotJsonTest,
                         ::testing::Values(ok("<html>moved</html>"), ok(""), status(401, "{}"),
                                           status(500), refused()));

// ---------------------------------------------------------------------------------------------
// One token retrieval

struct RetrieveCase {
    const char* name;
    Reply reply;
    std::string token;
};

class RetrieveTokenTest : public ::testing::TestWithParam<RetrieveCase> {};

TEST_P(RetrieveTokenTest, GivesTheAccessTokenOrNothing) {
    FakeTokenService service({GetParam().reply});
    AuthTokenRetriever retriever(service.exchange());
    EXPECT_EQ(retriever.retrieveAuthToken(HOST, PORT, PATH, "id", "secret"), GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RetrieveTokenTest,
    ::testing::Values(RetrieveCase{"Ok", ok(token_reply("abc.def.ghi")), "abc.def.ghi"},
                      RetrieveCase{"Created", status(201, token_reply("abc")), "abc"},
                      RetrieveCase{"Unauthorized", status(401, token_reply("abc")), ""},
                      RetrieveCase{"ServerError", status(503, token_reply("abc")), ""},
                      RetrieveCase{"Redirect", status(302, token_reply("abc")), ""},
                      RetrieveCase{"NotJson", ok("access_token=abc"), ""},
                      RetrieveCase{"EmptyBody", ok(""), ""},
                      RetrieveCase{"MissingToken", ok(R"({"token_type":"bearer"})"), ""},
                      RetrieveCase{"TokenNotAString", ok(R"({"access_token":7})"), ""},
                      RetrieveCase{"TokenWouldSplitTheHeader",
                                   ok(token_reply("abc\r\nX-Injected: 1")), ""},
                      RetrieveCase{"NetworkError", refused(), ""},
                      RetrieveCase{"CertificateRejected", rejected_certificate(), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The renewal pause

struct PauseCase {
    const char* name;
    std::string token;
    milliseconds pause;
};

class RenewalPauseTest : public ::testing::TestWithParam<PauseCase> {};

TEST_P(RenewalPauseTest, OneHourBeforeExpiryElseThirtySeconds) {
    EXPECT_EQ(token_renewal_pause(GetParam().token, T0, 30s), GetParam().pause);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, RenewalPauseTest,
    ::testing::Values(
        PauseCase{"TwoHoursAhead", jwt_expiring_at(T0_SECONDS + 2 * 3600), 1h},
        PauseCase{"TwelveHoursAhead", jwt_expiring_at(T0_SECONDS + 12 * 3600), 11h},
        PauseCase{"FractionalExp",
                  jwt_with_payload(R"({"exp":)" + std::to_string(T0_SECONDS + 7200) + ".25}"),
                  1h + 250ms},
        PauseCase{"FiftyNineMinutesAhead", jwt_expiring_at(T0_SECONDS + 59 * 60), 30s},
        PauseCase{"Expired", jwt_expiring_at(T0_SECONDS - 60), 30s},
        // Never sooner than the retry pause, or a service issuing one-hour tokens with a
        // clock slightly ahead would be asked in a tight loop.
        PauseCase{"JustOverOneHourAhead", jwt_expiring_at(T0_SECONDS + 3600 + 5), 30s},
        PauseCase{"ExactlyOneHourAhead", jwt_expiring_at(T0_SECONDS + 3600), 30s},
        PauseCase{"AbsurdExpiry", jwt_with_payload(R"({"exp":1e300})"),
                  std::chrono::duration_cast<milliseconds>(auth_token::MAX_WAIT)},
        PauseCase{"NoExp", jwt_with_payload(R"({"sub":"client"})"), 30s},
        PauseCase{"ExpNotANumber", jwt_with_payload(R"({"exp":"1700007200"})"), 30s},
        PauseCase{"PayloadNotAnObject", jwt_with_payload("[1700007200]"), 30s},
        PauseCase{"PayloadNotJson", jwt_with_payload("exp=1700007200"), 30s},
        PauseCase{"PayloadNotBase64url", "aGVhZA.!!!.c2ln", 30s},
        PauseCase{"Opaque", "2YotnFZFEjr1zCsicMWpAA", 30s},
        PauseCase{"TwoParts", "aGVhZA.eyJleHAiOjF9", 30s},
        PauseCase{"FourParts", jwt_expiring_at(T0_SECONDS + 7200) + ".extra", 30s}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The worker

// A retriever on a fake service, with a fixed clock and the pauses it takes recorded.
class WorkerTest : public ::testing::Test {
  protected:
    explicit WorkerTest(milliseconds retryPause = 30s) {
        auth_token_timing_t timing;
        timing.retryPause = retryPause;
        timing.now = [] { return T0; };
        timing.onPause = [this](milliseconds pause) {
            {
                std::lock_guard lock(mutex_);
                pauses_.push_back(pause);
            }
            paused_.notify_all();
            if (on_pause_) {
                on_pause_();
            }
        };
        retriever_.emplace(service_.exchange(), std::move(timing));
    }

    bool start() { return retriever_->startAuthTokenRetrieval(HOST, PORT, PATH, "id", "secret"); }
    milliseconds pause(std::size_t index) {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(paused_.wait_for(lock, GENEROUS, [&] { return pauses_.size() > index; }));
        return pauses_.size() > index ? pauses_[index] : milliseconds(-1);
    }

    FakeTokenService service_;
    std::function<void()> on_pause_;  // set before start
    std::mutex mutex_;
    std::condition_variable paused_;
    std::vector<milliseconds> pauses_;
    std::optional<AuthTokenRetriever> retriever_;  // last: stopped before the rest goes
};

TEST_F(WorkerTest, PublishesAndRenewsOneHourBeforeExpiry) {
    const std::string token = jwt_expiring_at(T0_SECONDS + 2 * 3600);
    service_.script({ok(token_reply(token))});
    EXPECT_FALSE(start());
    EXPECT_EQ(retriever_->waitForCurrentAuthToken(GENEROUS), token);
    EXPECT_EQ(retriever_->getCurrentAuthToken(), token);
    EXPECT_EQ(pause(0), 1h);
}

TEST_F(WorkerTest, StopDuringALongPauseIsPromptAndClearsTheToken) {
    service_.script({ok(token_reply(jwt_expiring_at(T0_SECONDS + 10 * 3600)))});
    start();
    EXPECT_EQ(pause(0), 9h);
    finishes([&] { retriever_->stopAuthTokenRetrieval(); });
    EXPECT_FALSE(retriever_->isRunning());
    EXPECT_EQ(retriever_->getCurrentAuthToken(), "");
    EXPECT_EQ(service_.calls().size(), 1u);
}

TEST_F(WorkerTest, StopRequestedJustBeforeThePauseEndsItAtOnce) {
    std::promise<std::thread> stopper;
    on_pause_ = [&] {
        // The worker is about to wait; the stop lands before it does.
        stopper.set_value(std::thread([&] { retriever_->stopAuthTokenRetrieval(); }));
        while (retriever_->isRunning()) {
            std::this_thread::yield();
        }
    };
    start();
    finishes([&] { stopper.get_future().get().join(); });
    EXPECT_EQ(retriever_->getCurrentAuthToken(), "");
}

TEST_F(WorkerTest, SecondStartKeepsTheFirstWorkerAndItsParameters) {
    EXPECT_FALSE(start());
    EXPECT_TRUE(retriever_->startAuthTokenRetrieval("other.example", 1, "/x", "a", "b"));
    EXPECT_EQ(pause(0), 30s);  // the one worker got its opaque token
    ASSERT_EQ(service_.calls().size(), 1u);
    EXPECT_EQ(service_.calls().front().host, HOST);
}

TEST_F(WorkerTest, WaitsForTheFirstTokenAndGivesUpAfterTheTimeout) {
    service_.hold();
    start();
    ASSERT_TRUE(service_.waitForCalls(1));
    EXPECT_EQ(retriever_->waitForCurrentAuthToken(20ms), "");
    auto waiter = std::async(std::launch::async,
                             [&] { return retriever_->waitForCurrentAuthToken(LONG_PAUSE); });
    service_.release();
    EXPECT_EQ(finishes([&] { return waiter.get(); }), "opaque");
}

TEST_F(WorkerTest, StopWakesAWaiterWithoutAToken) {
    service_.hold();
    start();
    auto waiter = std::async(std::launch::async,
                             [&] { return retriever_->waitForCurrentAuthToken(LONG_PAUSE); });
    ASSERT_TRUE(service_.waitForCalls(1));
    service_.script({status(500)});
    std::thread stopper([&] { retriever_->stopAuthTokenRetrieval(); });
    service_.release();
    EXPECT_EQ(finishes([&] { return waiter.get(); }), "");
    stopper.join();
}

TEST(TokenWait, ReturnsAtOnceWithoutAWorker) {
    AuthTokenRetriever retriever;
    EXPECT_EQ(finishes([&] { return retriever.waitForCurrentAuthToken(LONG_PAUSE); }), "");
    retriever.setCurrentAuthToken("set");
    EXPECT_EQ(retriever.waitForCurrentAuthToken(LONG_PAUSE), "set");
}

// A token published before or while a caller begins to wait always ends that wait.
TEST(TokenWait, NoPublicationIsMissed) {
    for (int round = 0; round < 100; ++round) {
        FakeTokenService service;
        service.hold();  // the worker runs but never delivers
        AuthTokenRetriever retriever(service.exchange());
        retriever.startAuthTokenRetrieval(HOST, PORT, PATH, "id", "secret");
        if (round % 2 == 0) {
            retriever.setCurrentAuthToken("early");
        }
        auto waiter = std::async(std::launch::async,
                                 [&] { return retriever.waitForCurrentAuthToken(LONG_PAUSE); });
        retriever.setCurrentAuthToken("early");
        EXPECT_EQ(finishes([&] { return waiter.get(); }), "early") << "round " << round;
        service.release();
    }
}

class FastRetryWorkerTest : public WorkerTest {
  protected:
    FastRetryWorkerTest() : WorkerTest(1ms) {}
};

TEST_F(FastRetryWorkerTest, SurvivesEveryFailureAndTakesTheNextToken) {
    service_.script({ok(token_reply("first")), status(401, "expired"), status(503), refused(),
                     rejected_certificate(), ok("not json"), ok(token_reply("second"))});
    start();
    ASSERT_TRUE(service_.waitForCalls(6));
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(pause(i), 1ms);
    }
    EXPECT_TRUE(retriever_->isRunning());
    ASSERT_TRUE(service_.waitForCalls(8));
    EXPECT_EQ(retriever_->getCurrentAuthToken(), "second");
}

TEST_F(FastRetryWorkerTest, FailedRetrievalLeavesTheTokenInPlace) {
    service_.script({ok(token_reply("first")), status(401, "expired")});
    start();
    ASSERT_TRUE(service_.waitForCalls(4));
    EXPECT_EQ(retriever_->getCurrentAuthToken(), "first");
}

// ---------------------------------------------------------------------------------------------
// Starting

struct IncompleteCase {
    const char* name;
    std::string host;
    std::uint16_t port;
    std::string path;
    std::string id;
    std::string secret;
};

class IncompleteStartTest : public ::testing::TestWithParam<IncompleteCase> {};

TEST_P(IncompleteStartTest, RaisesAndStartsNothing) {
    const IncompleteCase& c = GetParam();
    FakeTokenService service;
    AuthTokenRetriever retriever(service.exchange());
    try {
        retriever.startAuthTokenRetrieval(c.host, c.port, c.path, c.id, c.secret);
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Incomplete authentication token configuration");
    }
    EXPECT_FALSE(retriever.isRunning());
    EXPECT_TRUE(service.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, IncompleteStartTest,
    ::testing::Values(IncompleteCase{"NoHost", "", PORT, PATH, "id", "secret"},
                      IncompleteCase{"PortZero", HOST, 0, PATH, "id", "secret"},
                      IncompleteCase{"NoPath", HOST, PORT, "", "id", "secret"},
                      IncompleteCase{"NoClientId", HOST, PORT, PATH, "", "secret"},
                      IncompleteCase{"NoClientSecret", HOST, PORT, PATH, "id", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Log lines

enum class Step { Retrieve, Fetch, Pause };

struct LogCase {
    const char* name;
    Step step;
    Reply reply;        // Retrieve, Fetch
    std::string token;  // Pause
    std::string level;  // the level text; empty: no line at all
    std::string message;
};

std::string refused_text() {
    try {
        refused().raise();
    } catch (const boost::system::system_error& e) {
        return "system:" + std::to_string(ECONNREFUSED) + " (" + e.what() + ")";
    }
    return {};
}

std::vector<LogCase> log_cases() {
    const std::string failed = "Authentication token retrieval failed";
    const std::string missing =
        failed + " due to missing data ([json.exception.out_of_range.403] key '";
    return {
        {"Unauthorized", Step::Retrieve, status(401, "bad client"), "", "  error",
         failed + " with HTTP code 401 (bad client)"},
        {"ServerError", Step::Retrieve, status(503, "busy"), "", "", ""},
        {"NetworkError", Step::Retrieve, refused(), "", "   info",
         failed + " with code " + refused_text()},
        {"MissingToken", Step::Retrieve, ok("{}"), "", "  error",
         missing + "access_token' not found)"},
        {"MissingEndpoint", Step::Fetch, ok("{}"), "", "  error",
         missing + "token_endpoint' not found)"},
        {"EndpointNotAUri", Step::Fetch, ok(R"({"token_endpoint":"uaa"})"), "", "  error",
         "Failed to parse URI"},
        {"OpaqueToken",
         Step::Pause,
         {},
         "opaque",
         "warning",
         failed + " due to missing invalid format"},
        {"NoExp", Step::Pause, {}, jwt_with_payload("{}"), "warning", missing + "exp' not found)"},
        {"WithExp", Step::Pause, {}, jwt_expiring_at(T0_SECONDS + 7200), "", ""},
    };
}

void run_step(const LogCase& c) {
    FakeTokenService service({c.reply});
    AuthTokenRetriever retriever(service.exchange());
    std::string host = "config.example";
    std::uint16_t port = 443;
    std::string path = "/config";
    switch (c.step) {
        case Step::Retrieve:
            retriever.retrieveAuthToken(HOST, PORT, PATH, "id", "secret");
            break;
        case Step::Fetch:
            retriever.fetchAuthTokenConfig(host, port, path);
            break;
        case Step::Pause:
            token_renewal_pause(c.token, T0, 30s);
            break;
    }
}

// The number of cases whose output differs from the expected line, each reported on stderr.
int mismatched_log_lines() {
    int mismatches = 0;
    for (const LogCase& c : log_cases()) {
        std::ostringstream sink;
        SimpleLogger::setTestSeams(nullptr, &sink);
        run_step(c);
        SimpleLogger::setTestSeams(nullptr, nullptr);
        const std::string out = sink.str();
        const std::string head = ": " + c.level + ": Thrd=";
        const bool one_line = out.find('\n') == out.size() - 1;
        const bool matches = c.level.empty() ? out.empty()
                                             : one_line && out.find(head) != std::string::npos &&
                                                   out.ends_with(", " + c.message + "\n");
        if (!matches) {
            ++mismatches;
            std::fprintf(stderr, "%s: expected [%s] %s, got: %s\n", c.name, c.level.c_str(),
                         c.message.c_str(), out.c_str());
        }
    }
    return mismatches;
}

// The log threshold is read once per process, so the lines are checked in a fresh one.
TEST(AuthTokenLog, LinesCarryTheirLevelAndText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    config_test::ScopedEnv env;
    config_test::TempDir config_dir;
    env.set("MarlevonConfigurationPath", config_dir.path());
    env.set("AppLogLevel", "trace");
    EXPECT_EXIT(
        {
            const int mismatches = mismatched_log_lines();
            std::filesystem::remove_all(config_dir.path());  // exit() skips the destructors
            std::exit(mismatches == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
