// The emulated HSM's first commands through a real tunnel: application ids, the firmware
// version probe, keepalives, command contexts, unknown commands and the version headers.

#include <gtest/gtest.h>

#include <set>

#include "tests/service/engine_fixture.h"

namespace service_test {
namespace {

constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t ORVA_GEN_APPID = 0x108;
constexpr std::uint32_t ORVA_APP_SESSIONS_KEEPALIVE = 0x109;
constexpr std::uint32_t ORVA_OPEN_CONTEXT_SESSION = 0x10A;
constexpr std::uint32_t ORVA_OPEN_CONTEXT_SESSIONLESS = 0x10B;
constexpr std::uint32_t ORVA_OPEN_SESSION = 0x24;
constexpr std::uint32_t ORVA_CLOSE_SESSION = 0x26;
constexpr std::uint32_t ORVA_PARTITION_ZEROIZE = 0xE2;
constexpr std::uint32_t CONTEXT_INVALID = 0x80001601;
constexpr std::uint32_t UNKNOWN_COMMAND = 0x300001;
constexpr std::uint32_t ARGUMENTS_BAD = 0x70000;
constexpr std::uint32_t PROBE_REPLY_CAPACITY = 88;
constexpr std::uint32_t SESSION = 7;

bytes app_bytes(const app_id_t& app) {
    return bytes(app.begin(), app.end());
}

TEST_F(EngineTest, GenAppidIssuesDistinctIds) {
    std::set<bytes> ids{app_bytes(app_)};
    for (int i = 0; i < 3; ++i) {
        auto issued = send(ORVA_GEN_APPID);
        ASSERT_EQ(issued.result, 0u);
        ASSERT_EQ(issued.body.size(), 20u);
        EXPECT_EQ(u32_at(issued.body, 16), 16u);  // length after the id
        ids.insert(bytes(issued.body.begin(), issued.body.begin() + 16));
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(EngineTest, FirmwareVersionFitsTheProbeBuffer) {
    auto probe = send(ORVA_GET, 13, {}, PROBE_REPLY_CAPACITY);
    ASSERT_TRUE(probe.authentic);
    ASSERT_EQ(probe.result, 0u);
    ASSERT_GE(probe.body.size(), 4u);
    EXPECT_EQ(u32_at(probe.body, 0), probe.body.size() - 4);
    EXPECT_EQ(bytes(probe.body.begin() + 4, probe.body.end()), (bytes{7, 8, 4}));
    EXPECT_LE(probe.raw.size(), PROBE_REPLY_CAPACITY);
}

TEST_F(EngineTest, UnknownGetItemIsDataInvalid) {
    EXPECT_EQ(send(ORVA_GET, 0x3E).result, 0x200000u);
}

TEST_F(EngineTest, KeepaliveOfAnIssuedApplication) {
    auto alive = send(ORVA_APP_SESSIONS_KEEPALIVE, 1000000, app_bytes(app_));
    ASSERT_TRUE(alive.authentic);
    EXPECT_EQ(alive.result, 0u);
    EXPECT_TRUE(alive.body.empty());
}

TEST_F(EngineTest, KeepaliveOfAnUnknownApplicationIsBadAccessHandle) {
    app_id_t stranger{};
    stranger[0] = 0x5A;
    auto alive =
        client_.send(command(ORVA_APP_SESSIONS_KEEPALIVE, stranger, 1000000, app_bytes(stranger)));
    EXPECT_EQ(alive.result, 0x80000404u);
}

TEST_F(EngineTest, KeepaliveWithAMismatchedRepeatIsArgumentsBad) {
    auto other = app_;
    other[15] ^= 1;
    EXPECT_EQ(send(ORVA_APP_SESSIONS_KEEPALIVE, 1000000, app_bytes(other)).result, ARGUMENTS_BAD);
    EXPECT_EQ(send(ORVA_APP_SESSIONS_KEEPALIVE, 1000000, bytes(8, 0)).result, ARGUMENTS_BAD);
}

class EmptyKeepaliveTest : public EngineTest {
  protected:
    static service::engine_options_t empty_keepalives() {
        service::engine_options_t options;
        options.hsm.empty_keepalive_reply = true;
        return options;
    }
    EmptyKeepaliveTest() : EngineTest(empty_keepalives()) {}
};

TEST_F(EmptyKeepaliveTest, AnswersWithAnEmptyBody) {
    auto alive = send(ORVA_APP_SESSIONS_KEEPALIVE, 1000000, app_bytes(app_));
    EXPECT_EQ(alive.status, 200u);
    EXPECT_TRUE(alive.raw.empty());
    EXPECT_TRUE(alive.headers.size() > 0);  // versions still travel
}

class UnknownCommand : public EngineTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(UnknownCommand, IsAnsweredWithUnknownCommand) {
    auto reply = send(GetParam(), 0, bytes(64, 0xEE));
    ASSERT_TRUE(reply.authentic);
    EXPECT_EQ(reply.result, UNKNOWN_COMMAND);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);  // and the partition still answers
}

INSTANTIATE_TEST_SUITE_P(Codes, UnknownCommand,
                         ::testing::Values(0x00u, 0x2Bu, 0x4Eu, 0x10Du, 0x106u, 0x102u,
                                           0xFFFFFFFFu));

TEST_F(EngineTest, WrongProtocolLevelOrShortHeaderIsArgumentsBad) {
    auto cmd = command(ORVA_GET, app_, 13);
    put32(cmd, 4, 22);
    EXPECT_EQ(client_.send(cmd).result, ARGUMENTS_BAD);
    EXPECT_EQ(client_.send(bytes(20, 0)).result, ARGUMENTS_BAD);
    EXPECT_EQ(client_.send(bytes{}).result, ARGUMENTS_BAD);
}

// A context-bound command with its context at `offset` (after the session or the container).
bytes bound_command(std::uint32_t code, const app_id_t& app, std::uint32_t session,
                    std::uint32_t id, const bytes& tag, std::size_t offset = 176) {
    bytes body(offset - 176 + 20 + 8, 0);
    put32(body, offset - 176, id);
    std::copy(tag.begin(), tag.end(), body.begin() + static_cast<std::ptrdiff_t>(offset - 176 + 4));
    return command(code, app, session, body);
}

struct opened_t {
    std::uint32_t id;
    bytes tag;
};

opened_t open_context(xtc_client& client, const app_id_t& app, std::uint32_t code,
                      std::uint32_t session) {
    auto reply = client.send(command(code, app, session));
    EXPECT_EQ(reply.result, 0u);
    EXPECT_EQ(reply.body.size(), 20u);
    return {u32_at(reply.body, 0), bytes(reply.body.begin() + 4, reply.body.end())};
}

TEST_F(EngineTest, ContextIsSingleUseAndReuseIsCounted) {
    auto context = open_context(client_, app_, ORVA_OPEN_CONTEXT_SESSION, SESSION);
    auto first =
        client_.send(bound_command(ORVA_CLOSE_SESSION, app_, SESSION, context.id, context.tag));
    EXPECT_NE(first.result, CONTEXT_INVALID);
    EXPECT_EQ(violations().total(), 0u);
    auto second =
        client_.send(bound_command(ORVA_CLOSE_SESSION, app_, SESSION, context.id, context.tag));
    EXPECT_EQ(second.result, CONTEXT_INVALID);
    EXPECT_EQ(violations().context_reuses, 1u);
    EXPECT_EQ(violations().total(), 1u);
}

TEST_F(EngineTest, ContextsAreNumberedAndTaggedAfresh) {
    auto a = open_context(client_, app_, ORVA_OPEN_CONTEXT_SESSIONLESS, 0);
    auto b = open_context(client_, app_, ORVA_OPEN_CONTEXT_SESSIONLESS, 0);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.tag, b.tag);
}

struct presentation_t {
    const char* name;
    std::uint32_t open_code;
    std::uint32_t bound_code;
    std::uint32_t session_presented;
    bool corrupt_tag;
    bool other_app;
    std::int64_t wait_seconds;
    std::size_t offset;
    std::uint32_t expected;  // 0: anything but CONTEXT_INVALID
    std::uint64_t mismatches;
};

class ContextPresentation : public EngineTest,
                            public ::testing::WithParamInterface<presentation_t> {};

TEST_P(ContextPresentation, IsJudged) {
    const auto& p = GetParam();
    auto context = open_context(client_, app_, p.open_code, SESSION);
    if (p.corrupt_tag) {
        context.tag[5] ^= 0x10;
    }
    now_ += p.wait_seconds;
    auto app = app_;
    if (p.other_app) {
        app[0] ^= 1;
    }
    auto reply = client_.send(
        bound_command(p.bound_code, app, p.session_presented, context.id, context.tag, p.offset));
    ASSERT_TRUE(reply.authentic);
    if (p.expected == 0) {
        EXPECT_NE(reply.result, CONTEXT_INVALID);
    } else {
        EXPECT_EQ(reply.result, p.expected);
    }
    EXPECT_EQ(violations().context_mismatches, p.mismatches);
    EXPECT_EQ(violations().context_reuses, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContextPresentation,
    ::testing::Values(
        presentation_t{"SessionContext", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION,
                       false, false, 0, 176, 0, 0},
        presentation_t{"SessionlessForOpenSession", ORVA_OPEN_CONTEXT_SESSIONLESS,
                       ORVA_OPEN_SESSION, 1000000, false, false, 0, 176, 0, 0},
        presentation_t{"AfterContainer", ORVA_OPEN_CONTEXT_SESSION, ORVA_PARTITION_ZEROIZE, SESSION,
                       false, false, 0, 180, 0, 0},
        presentation_t{"JustBeforeExpiry", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION,
                       false, false, 59, 176, 0, 0},
        presentation_t{"Expired", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION, false,
                       false, 60, 176, CONTEXT_INVALID, 0},
        presentation_t{"WrongTag", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION, true,
                       false, 0, 176, CONTEXT_INVALID, 1},
        presentation_t{"OtherSession", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION + 1,
                       false, false, 0, 176, CONTEXT_INVALID, 1},
        presentation_t{"OtherApplication", ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION, SESSION,
                       false, true, 0, 176, CONTEXT_INVALID, 1},
        presentation_t{"SessionContextForOpenSession", ORVA_OPEN_CONTEXT_SESSION, ORVA_OPEN_SESSION,
                       1000000, false, false, 0, 176, CONTEXT_INVALID, 1},
        presentation_t{"SessionlessForSessionCommand", ORVA_OPEN_CONTEXT_SESSIONLESS,
                       ORVA_CLOSE_SESSION, SESSION, false, false, 0, 176, CONTEXT_INVALID, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, UnknownContextIdIsStaleWithoutViolation) {
    auto reply = client_.send(bound_command(ORVA_CLOSE_SESSION, app_, SESSION, 4242, bytes(16, 1)));
    EXPECT_EQ(reply.result, CONTEXT_INVALID);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(EngineTest, ContextBeyondTheCommandIsArgumentsBad) {
    auto context = open_context(client_, app_, ORVA_OPEN_CONTEXT_SESSION, SESSION);
    auto cmd = bound_command(ORVA_CLOSE_SESSION, app_, SESSION, context.id, context.tag);
    cmd.resize(40 + 4 + 10);  // the tag is cut off
    EXPECT_EQ(client_.send(cmd).result, ARGUMENTS_BAD);
}

TEST_F(EngineTest, VersionHeadersFollowPartitionAndSessionChanges) {
    auto reply = send(ORVA_GET, 13);
    EXPECT_EQ(reply.headers.size(), 2u);
    EXPECT_EQ(header_of(reply.headers, "Partition-Version"), "1");
    const auto sessions = header_of(reply.headers, "App-Sessions-Version");
    ASSERT_TRUE(sessions);
    EXPECT_TRUE(sessions->ends_with(":1")) << *sessions;
    EXPECT_EQ(sessions->size(), 32u + 2u);  // the id in hex when the client named none

    auto* partition = engine_.hsm().partition(SERIAL);
    {
        std::lock_guard lock(partition->mutex());
        partition->bump_version();
        partition->bump_app_sessions(app_);
    }
    reply = client_.send(command(ORVA_GET, app_, 13), 4096,
                         {{"App-Sessions-Version", "client-name:1"}});
    EXPECT_EQ(header_of(reply.headers, "Partition-Version"), "2");
    EXPECT_EQ(header_of(reply.headers, "App-Sessions-Version"), "client-name:2");
}

TEST_F(EngineTest, NoSessionsVersionWithoutAnApplicationId) {
    auto reply = client_.send(command(ORVA_GEN_APPID, {}, 0));
    EXPECT_FALSE(header_of(reply.headers, "App-Sessions-Version"));
    EXPECT_TRUE(header_of(reply.headers, "Partition-Version"));
}

TEST_F(EngineTest, SavedContextSequencesMustRise) {
    auto* partition = engine_.hsm().partition(SERIAL);
    std::lock_guard lock(partition->mutex());
    bytes request = command(ORVA_GET, app_, 0);
    bytes body;
    service::command_t step{engine_.hsm(), *partition, request, body, now_};
    service::saved_context_id_t id{};
    id[0] = 9;
    EXPECT_TRUE(step.advance_saved_context(id, 4));
    EXPECT_TRUE(step.advance_saved_context(id, 5));
    EXPECT_FALSE(step.advance_saved_context(id, 5));
    EXPECT_FALSE(step.advance_saved_context(id, 1));
    EXPECT_TRUE(step.advance_saved_context(id, 9));
    EXPECT_EQ(violations().saved_context_sequences, 2u);
    partition->forget_saved_context(id);
    EXPECT_TRUE(step.advance_saved_context(id, 1));
}

}  // namespace
}  // namespace service_test
