// The whole road: host -> plug-in -> TLS -> stand-in service, and back, for the start-up
// exchange, the version headers, the status probe, error mapping and concurrent use.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/code_names.h"
#include "config/codes.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

using e2e::PARTITION_A;
using e2e::PARTITION_B;
using e2e::requests_for;
using e2e::word_at;

constexpr std::uint32_t OPERATIONAL = 1;
constexpr std::uint32_t NOT_OPERATIONAL = 2;
// Offsets in a logged command (the request from offset 136).
constexpr std::size_t COMMAND_APP_ID = 8;
constexpr std::size_t COMMAND_WORD0 = 172 - 136;


class RoadTest : public e2e::PluginFixture {
  protected:
    std::uint32_t first_container() {
        std::uint32_t rc = 0;
        auto containers = container_list(rc);
        EXPECT_EQ(rc, 0u);
        EXPECT_EQ(containers.size(), 2u);
        return containers.empty() ? 0 : containers.front();
    }
    // One command through the whole road: the open-context command, then ORVA_OPEN_SESSION
    // (closed again when the service opened it, so that runs stay small).
    std::uint32_t command(std::uint32_t container) {
        std::uint32_t session = 0;
        const std::uint32_t rc = open_session(container, &session);
        if (rc == RC_OK) {
            EXPECT_EQ(close_session(session), RC_OK);
        }
        return rc;
    }
    // The HSM's own answer to the last ORVA_OPEN_SESSION it ran: what the plug-in must report
    // when nothing on the road failed.
    std::uint32_t hsm_answer() {
        auto runs = requests_for(engine(), ORVA_OPEN_SESSION);
        return runs.empty() || !runs.back().result ? 0xFFFFFFFFu : *runs.back().result;
    }
    void expect_no_violations() {
        auto counts = engine().violations();
        EXPECT_EQ(counts.total(), 0u)
            << "tags " << counts.tag_failures << ", sequences " << counts.sequence_reuses
            << ", tokens " << counts.unknown_tokens << ", contexts " << counts.context_reuses
            << "/" << counts.context_mismatches << ", expired " << counts.expired_requests;
    }
};

TEST_F(RoadTest, InitializeOpensTheTunnelThenAsksForAnApplicationId) {
    ASSERT_EQ(initialize(), RC_OK);
    std::vector<std::uint32_t> codes;
    for (const auto& record : engine().requests()) {
        codes.push_back(record.command.value_or(0));
    }
    auto open = std::find(codes.begin(), codes.end(), ORVA_XTC_OPEN_REQ_V1);
    auto gen_appid = std::find(codes.begin(), codes.end(), ORVA_GEN_APPID);
    ASSERT_NE(gen_appid, codes.end());
    EXPECT_LT(open, gen_appid) << "the application id is asked for inside an open tunnel";
    auto gen = requests_for(engine(), ORVA_GEN_APPID);
    ASSERT_EQ(gen.size(), 1u);
    EXPECT_EQ(gen[0].result, RC_OK);
    EXPECT_EQ(gen[0].status, 200u);
    expect_no_violations();
}

TEST_F(RoadTest, RepliedVersionsTravelWithTheNextRequestToThatPartition) {
    ASSERT_EQ(initialize(), RC_OK);
    const std::uint32_t container = first_container();
    const std::uint32_t warm_up = command(container);  // the service now knows our application
    EXPECT_RC(warm_up, hsm_answer());
    auto logged = requests_for(engine(), ORVA_OPEN_SESSION);
    ASSERT_FALSE(logged.empty());
    ASSERT_GE(logged.back().command_bytes.size(), COMMAND_APP_ID + service::APP_ID_SIZE);
    service::app_id_t app;
    std::copy_n(logged.back().command_bytes.begin() + COMMAND_APP_ID, app.size(), app.begin());
    auto* partition = engine().hsm().partition(PARTITION_A);
    {
        std::lock_guard lock(partition->mutex());
        partition->bump_version();
        partition->bump_version();
        partition->bump_app_sessions(app);
    }
    const std::uint32_t first = command(container);  // its replies carry the bumped versions
    EXPECT_RC(first, hsm_answer());
    // What the last reply reported; commands that change sessions may have moved them further.
    std::uint64_t partition_version = 0;
    std::uint64_t sessions_version = 0;
    {
        std::lock_guard lock(partition->mutex());
        partition_version = partition->version();
        sessions_version = partition->app_sessions_version(app);
    }
    EXPECT_GE(partition_version, 3u);
    EXPECT_GE(sessions_version, 2u);
    engine().clear_requests();
    const std::uint32_t second = command(container);
    EXPECT_RC(second, hsm_answer());
    auto log = engine().requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().partition, PARTITION_A);
    EXPECT_EQ(e2e::header(log.front(), "Partition-Version"), std::to_string(partition_version));
    auto sessions = e2e::header(log.front(), "App-Sessions-Version");
    ASSERT_TRUE(sessions.has_value());
    EXPECT_TRUE(sessions->ends_with(":" + std::to_string(sessions_version))) << *sessions;
    expect_no_violations();
}

TEST_F(RoadTest, OperationStatusProbesTheFirmwareVersion) {
    ASSERT_EQ(initialize(), RC_OK);
    const std::uint32_t container = first_container();
    engine().clear_requests();
    EXPECT_EQ(operation_status(container), OPERATIONAL);
    auto probes = requests_for(engine(), ORVA_GET);
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(word_at(probes[0].command_bytes, COMMAND_WORD0), ORVA_GT_FWV);
    EXPECT_EQ(probes[0].partition, PARTITION_A);
    EXPECT_EQ(probes[0].result, RC_OK);
    expect_no_violations();
}

TEST_F(RoadTest, AProbeThatFailsReportsNotOperational) {
    ASSERT_EQ(initialize(), RC_OK);
    std::uint32_t rc = 0;
    auto containers = container_list(rc);
    ASSERT_EQ(containers.size(), 2u);
    service::fault_t refused;
    refused.command = ORVA_GET;
    refused.http_status = 404u;
    engine().inject(refused, 1);
    EXPECT_EQ(operation_status(containers[1]), NOT_OPERATIONAL);
    EXPECT_EQ(operation_status(containers[1]), OPERATIONAL);  // the next probe gets through
    EXPECT_EQ(requests_for(engine(), ORVA_GET).back().partition, PARTITION_B);
}

// A fault on one command of the road. ORVA_OPEN_SESSION is a multipart command sent after its
// open-context command (ORVA_OPEN_CONTEXT_SESSIONLESS) went through.
struct fault_case_t {
    const char* name;
    service::fault_t fault;
    unsigned count;
    std::optional<std::uint32_t> expected;  // none: the HSM's own answer (the road recovered)
    std::optional<unsigned> client_timeout_sec = std::nullopt;
    std::optional<unsigned> eof_retry_count = std::nullopt;
};

void PrintTo(const fault_case_t& param, std::ostream* out) { *out << param.name; }

service::fault_t on(std::uint32_t command) {
    service::fault_t fault;
    fault.command = command;
    return fault;
}
service::fault_t http_status(unsigned status, std::uint32_t command = ORVA_OPEN_SESSION) {
    auto fault = on(command);
    fault.http_status = status;
    return fault;
}
service::fault_t retry_after(const char* value) {
    auto fault = on(ORVA_OPEN_SESSION);
    fault.retry_after = value;
    return fault;
}
service::fault_t delayed(std::chrono::milliseconds delay) {
    auto fault = on(ORVA_OPEN_SESSION);
    fault.delay = delay;
    return fault;
}
service::fault_t spoiled(bool service::fault_t::*flag) {
    auto fault = on(ORVA_OPEN_SESSION);
    fault.*flag = true;
    return fault;
}

using std::chrono_literals::operator""ms;
constexpr unsigned STORM = 1000;

const fault_case_t FAULT_CASES[] = {
    {"UnavailableOnEveryAttempt", http_status(503, ORVA_OPEN_CONTEXT_SESSIONLESS), STORM, RC_BUSY,
     std::nullopt, 3},
    {"UnavailableMultipartRerunsTheSequence", http_status(503), STORM, RC_BUSY},
    {"RetryAfterIsHonoured", retry_after("1"), 1, std::nullopt},
    {"NotFound", http_status(404), 1, RC_ARGUMENTS_BAD},
    {"TooManyRequests", http_status(429), 1, RC_BUSY},
    {"ReplyPastTheDeadline", delayed(2500ms), 1, XM_OPERATION_TIMED_OUT, 1},
    {"ReplyPastTheDeadlineOnTheLastAttempt", delayed(2500ms), 1, RC_BUSY, 1, 1},
    {"OversizedReply", spoiled(&service::fault_t::oversize_body), 1, ORVA_RET_BUFFER_TOO_SMALL},
    {"TamperedTag", spoiled(&service::fault_t::tamper_tag), 1, ORVA_RET_XTC_ERROR},
    {"WrongEchoedSequence", spoiled(&service::fault_t::wrong_sequence), 1, ORVA_RET_XTC_ERROR},
};

class FaultMappingTest : public RoadTest, public ::testing::WithParamInterface<fault_case_t> {
  protected:
    e2e::options_t options() const override {
        e2e::options_t options;
        options.client_timeout_sec = GetParam().client_timeout_sec;
        options.eof_retry_count = GetParam().eof_retry_count;
        return options;
    }
};

TEST_P(FaultMappingTest, MapsToItsCodeAndTheNextCommandWorks) {
    const auto& param = GetParam();
    ASSERT_EQ(initialize(), RC_OK);
    const std::uint32_t container = first_container();
    engine().inject(param.fault, param.count);
    const std::uint32_t faulted = command(container);
    EXPECT_RC(faulted, param.expected.value_or(hsm_answer()));
    engine().clear_faults();
    const std::uint32_t next = command(container);
    EXPECT_RC(next, hsm_answer());
    expect_no_violations();
}

INSTANTIATE_TEST_SUITE_P(E2e, FaultMappingTest, ::testing::ValuesIn(FAULT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class OAuthRoadTest : public RoadTest {
  protected:
    e2e::options_t options() const override {
        e2e::options_t options;
        options.oauth = true;
        return options;
    }
};

TEST_F(OAuthRoadTest, AValidTokenPassesARevokedOneMapsToTokenInvalid) {
    ASSERT_EQ(initialize(), RC_OK);
    const std::uint32_t container = first_container();
    const std::uint32_t rc = command(container);
    EXPECT_RC(rc, hsm_answer());
    auto last = engine().requests().back();
    auto bearer = e2e::header(last, "Authorization");
    ASSERT_TRUE(bearer.has_value());
    EXPECT_TRUE(bearer->starts_with("Bearer "));
    server().oauth()->revoke_all();
    EXPECT_RC(command(container), RC_PIN_INVALID);
    EXPECT_EQ(engine().requests().back().status, 401u);
}

TEST_F(RoadTest, SixteenHostThreadsShareTheRoadWithoutViolations) {
    ASSERT_EQ(initialize(), RC_OK);
    std::uint32_t rc = 0;
    const auto containers = container_list(rc);
    ASSERT_EQ(containers.size(), 2u);
    const std::uint32_t answer = command(containers[0]);
    ASSERT_EQ(answer, hsm_answer());
    engine().clear_requests();
    constexpr int THREADS = 16;
    constexpr int COMMANDS_EACH = 10;
    std::atomic<int> reached{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < COMMANDS_EACH; ++i) {
                if (command(containers[t % 2]) == answer) {
                    ++reached;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(reached.load(), THREADS * COMMANDS_EACH);
    EXPECT_EQ(requests_for(engine(), ORVA_OPEN_SESSION).size(),
              static_cast<std::size_t>(THREADS * COMMANDS_EACH));
    expect_no_violations();
}

}  // namespace
