#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/SimpleLogger.h"
#include "config/codes.h"
#include "config/wire.h"
#include "health/StatusMonitor.h"
#include "plugin/command.h"
#include "plugin/send_path.h"
#include "plugin/session_maps.h"
#include "tests/support/fake_hsm.h"

namespace {

constexpr std::uint64_t FIRST = 501;
constexpr std::uint64_t SECOND = 502;
constexpr std::uint32_t HSM_ERROR = 0x820000;
constexpr std::uint32_t TRANSPORT_DOWN = RC_BUSY;

std::int64_t fixed_clock() { return 1'700'000'000; }

class SendPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.install();
        StatusMonitor::set_clock_for_testing(fixed_clock);
        StatusMonitor::start({FIRST, SECOND});
        StatusMonitor::set_prober([this](std::uint64_t) { return ++probes_, RC_GENERAL_ERROR; });
    }
    void TearDown() override {
        fake::hsm::uninstall();
        StatusMonitor::set_prober(nullptr);
        StatusMonitor::set_clock_for_testing(nullptr);
        s_session_partition_map.clear();
    }

    static cmd_t probe_cmd(std::uint64_t partition) {
        cmd_t cmd = make_sessionless_cmd<get_req_t, get_rsp_t>(app_id_t{}, partition, 0, 8);
        wire::put_u32(cmd.request, request_layout::SESSIONLESS_BODY, ORVA_GT_FWV);
        return cmd;
    }

    fake::hsm hsm_{{{FIRST, fake::hsm::make_key()}, {SECOND, fake::hsm::make_key()}}};
    int probes_ = 0;
};

TEST_F(SendPathTest, FirstCommandOpensTheTunnelAndLaterOnesReuseIt) {
    hsm_.set_script([](const fake::received_t&) { return fake::with_body({1, 2, 3, 4}); });
    cmd_t first = probe_cmd(0);
    ASSERT_EQ(send_command(first), RC_OK);
    EXPECT_EQ(first.partition, FIRST);  // the default partition is the first one
    EXPECT_EQ(wire::get_u32(first.response, response_layout::BODY), 0x04030201u);

    cmd_t second = probe_cmd(FIRST);
    ASSERT_EQ(send_command(second), RC_OK);
    EXPECT_EQ(hsm_.opens(), 1);
    auto received = hsm_.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].code, ORVA_GET);
    EXPECT_EQ(received[0].sequence, 0u);
    EXPECT_EQ(received[1].sequence, 1u);
    EXPECT_TRUE(StatusMonitor::isOnline(FIRST));
    EXPECT_EQ(probes_, 0);
}

TEST_F(SendPathTest, HsmErrorsAreReturnedAndLeaveTheOnlineStateAlone) {
    hsm_.set_script([](const fake::received_t&) { return fake::result(HSM_ERROR); });
    cmd_t cmd = probe_cmd(SECOND);
    EXPECT_EQ(send_command(cmd), HSM_ERROR);
    EXPECT_FALSE(StatusMonitor::isOnline(SECOND));
    EXPECT_EQ(probes_, 1);  // still never stamped, so the query probed
}

TEST_F(SendPathTest, TransportFailureMarksThePartitionOffline) {
    hsm_.set_script([](const fake::received_t&) { return fake::reply_t{}; });
    cmd_t ok = probe_cmd(SECOND);
    ASSERT_EQ(send_command(ok), RC_OK);
    hsm_.set_script([](const fake::received_t&) {
        fake::reply_t reply;
        reply.transport_failure = TRANSPORT_DOWN;
        return reply;
    });
    cmd_t failed = probe_cmd(SECOND);
    EXPECT_EQ(send_command(failed), TRANSPORT_DOWN);
    EXPECT_FALSE(StatusMonitor::isOnline(SECOND));
}

TEST_F(SendPathTest, EmptyKeepaliveReplyIsSuccessWithoutMarkingOnline) {
    hsm_.set_script([](const fake::received_t&) {
        fake::reply_t reply;
        reply.empty = true;
        return reply;
    });
    cmd_t keepalive = make_cmd(app_id_t{}, FIRST, ORVA_APP_SESSIONS_KEEPALIVE, 192, 80);
    EXPECT_EQ(send_command(keepalive), RC_OK);
    EXPECT_FALSE(StatusMonitor::isOnline(FIRST));
}

TEST_F(SendPathTest, UnknownPartitionOrNoTunnelStateIsATunnelError) {
    cmd_t unknown = probe_cmd(999);
    EXPECT_EQ(send_command(unknown), ORVA_RET_XTC_ERROR);
    fake::hsm::uninstall();
    cmd_t no_state = probe_cmd(0);
    EXPECT_EQ(send_command(no_state), ORVA_RET_XTC_ERROR);
}

TEST_F(SendPathTest, ContextBoundSequencePlacesTheFreshContextIntoTheCommand) {
    const std::vector<std::uint8_t> context = {0x11, 0x22, 0x33, 0x44, 1, 2,  3,  4,  5,  6,
                                               7,    8,    9,    10,   11, 12, 13, 14, 15, 16};
    hsm_.set_script([&](const fake::received_t& r) {
        if (r.code == ORVA_OPEN_CONTEXT_SESSION) {
            return fake::with_body(context);
        }
        return fake::reply_t{};
    });
    constexpr std::uint32_t SESSION = 77;
    s_session_partition_map.insert_or_assign(SESSION, SECOND);
    cmd_t real = make_cmd(app_id_t{}, SECOND, ORVA_CREATE_OBJECT, 204, 80);
    wire::put_u32(real.request, request_layout::SESSION, SESSION);
    ASSERT_EQ(send_context_bound(real, SESSION), RC_OK);

    auto received = hsm_.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].code, ORVA_OPEN_CONTEXT_SESSION);
    EXPECT_EQ(wire::get_u32(received[0].command, request_layout::SESSION - 136), SESSION);
    const auto& sent = received[1].command;
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin() + 40, sent.begin() + 60), context);
}

TEST_F(SendPathTest, ContextBoundSequenceStopsAtAnUnknownSessionOrAFailedOpen) {
    cmd_t real = make_cmd(app_id_t{}, SECOND, ORVA_CREATE_OBJECT, 204, 80);
    EXPECT_EQ(send_context_bound(real, 4242), ORVA_RET_SM_SESSION_HANDLE_INVALID);

    hsm_.set_script([](const fake::received_t&) { return fake::result(ORVA_RET_CONTEXT_INVALID); });
    s_session_partition_map.insert_or_assign(5, SECOND);
    EXPECT_EQ(send_context_bound(real, 5), ORVA_RET_CONTEXT_INVALID);
    EXPECT_EQ(hsm_.received().size(), 1u);  // the real command was never sent
}

struct RetryCase {
    const char* name;
    std::vector<std::uint32_t> codes;  // returned by successive runs
    std::uint32_t expected;
    int runs;
};

class AutomatedRetryTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(AutomatedRetryTest, RerunsOnlyRetryableCodesAtMostFiveTimes) {
    const RetryCase& c = GetParam();
    int runs = 0;
    std::uint32_t result = automated_retry(
        [&] { return c.codes[std::min<std::size_t>(runs++, c.codes.size() - 1)]; },
        SEQUENCE_ATTEMPTS);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(runs, c.runs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AutomatedRetryTest,
    ::testing::Values(
        RetryCase{"success", {RC_OK}, RC_OK, 1},
        RetryCase{"busy_four_times", {RC_RETRY, RC_RETRY, RC_RETRY, RC_RETRY, RC_OK}, RC_OK, 5},
        RetryCase{"busy_forever_becomes_rc_busy", {RC_RETRY}, RC_BUSY, 5},
        RetryCase{"lost_context_forever", {ORVA_RET_CONTEXT_INVALID}, ORVA_RET_CONTEXT_INVALID, 5},
        RetryCase{"mixed_then_busy", {ORVA_RET_CONTEXT_INVALID, RC_RETRY}, RC_BUSY, 5},
        RetryCase{"not_retryable", {ORVA_RET_BUFFER_TOO_SMALL}, ORVA_RET_BUFFER_TOO_SMALL, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionMaps, ClosedSessionsAreForgottenEverywhere) {
    s_session_partition_map.insert_or_assign(9, 1234);
    s_encrypt_context_map.insert_or_assign(9, saved_context_t{{1}, 3});
    s_find_objects_context_map.insert_or_assign(9, saved_context_t{{2}, 0});
    EXPECT_EQ(session_to_partition(9), 1234u);
    forget_session(9);
    EXPECT_EQ(session_to_partition(9), 0u);
    EXPECT_FALSE(s_encrypt_context_map.find(9));
    EXPECT_FALSE(s_find_objects_context_map.find(9));
}

struct BuilderCase {
    const char* name;
    cmd_t cmd;
    std::uint32_t code;
    std::size_t request_size;
    std::size_t response_size;
    bool multipart;
};

TEST(CommandBuilders, SizesCodesAndHeaderFields) {
    const app_id_t app_id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const BuilderCase cases[] = {
        {"get", make_sessionless_cmd<get_req_t, get_rsp_t>(app_id, 7, 0, 8), ORVA_GET, 176, 88,
         false},
        {"get_body", make_sessionless_cmd<get_req_t, get_rsp_t>(app_id, 7, 5, 1), ORVA_GET, 184,
         88, false},
        {"sessionless_context",
         make_sessionless_cmd<open_context_sessionless_req_t, open_context_sessionless_rsp_t>(
             app_id, 7, 0, 0),
         ORVA_OPEN_CONTEXT_SESSIONLESS, 176, 96, true},
        {"session_context",
         make_session_cmd<open_context_session_req_t, open_context_session_rsp_t>(app_id, 7, 99,
                                                                                  9, 1),
         ORVA_OPEN_CONTEXT_SESSION, 192, 104, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.cmd.code, c.code);
        EXPECT_EQ(c.cmd.request.size(), c.request_size);
        EXPECT_EQ(c.cmd.response.size(), c.response_size);
        EXPECT_EQ(c.cmd.multipart_request, c.multipart);
        EXPECT_EQ(c.cmd.partition, 7u);
        EXPECT_EQ(wire::get_u32(c.cmd.request, request_layout::CODE), c.code);
        EXPECT_EQ(wire::get_u32(c.cmd.request, request_layout::PROTOCOL_LEVEL), 23u);
        EXPECT_EQ(c.cmd.request[request_layout::APP_ID], 1);
        EXPECT_EQ(c.cmd.request[request_layout::APP_ID + 15], 16);
        EXPECT_EQ(wire::get_u64(c.cmd.request, request_layout::RESERVED), 0u);
        EXPECT_EQ(c.cmd.app_id, app_id);
    }
    EXPECT_EQ(wire::get_u32(cases[3].cmd.request, request_layout::SESSION), 99u);
    EXPECT_EQ(cases[3].cmd.session, 99u);
}

}  // namespace

namespace {

// Counts lines of `log` that end with `text`.
int count_lines_ending(const std::string& log, const std::string& text) {
    int count = 0;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        std::string_view line(log.data() + start, end - start);
        if (line.size() >= text.size() && line.substr(line.size() - text.size()) == text) {
            ++count;
        }
        start = end + 1;
    }
    return count;
}

// The log threshold is read once per process, so each case runs in a fresh child process.
void expect_retry_log(std::uint32_t code, const char* debug_line, const char* warning_line) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("AppLogLevel", "debug", 1);
            std::ostringstream log;
            SimpleLogger::setTestSeams(nullptr, &log);
            automated_retry([code] { return code; }, SEQUENCE_ATTEMPTS);
            SimpleLogger::setTestSeams(nullptr, nullptr);
            const bool ok = count_lines_ending(log.str(), debug_line) == 5 &&
                            count_lines_ending(log.str(), warning_line) == 1 &&
                            log.str().find(": warning: ") != std::string::npos;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AutomatedRetryLog, EveryRetryIsLoggedAndGivingUpIsAWarning) {
    expect_retry_log(RC_RETRY, "Retrying command sequence.",
                     "Too many retries, giving up with RC_BUSY.");
    expect_retry_log(ORVA_RET_CONTEXT_INVALID, "Retrying command sequence.",
                     "Too many retries, giving up with CONTEXT_INVALID.");
}

}  // namespace
