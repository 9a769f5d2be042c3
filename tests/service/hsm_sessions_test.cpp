// Sessions, login by challenge and access of the emulated HSM, through a real tunnel.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/service/hsm_fixture.h"

namespace service_test {
namespace {

constexpr std::uint32_t SESSION_HANDLE_INVALID = 0xB30000;
constexpr std::uint32_t PIN_INCORRECT = 0xA00000;
constexpr std::uint32_t DATA_INVALID = 0x200000;
constexpr std::uint32_t ALREADY_LOGGED_IN = 0x1000000;
constexpr std::uint32_t NOT_LOGGED_IN = 0x1010000;
constexpr std::uint32_t ACCESS_ID_INVALID = 0x80000400;
constexpr std::uint32_t CHALLENGE_TYPE_INVALID = 0x200B00;
constexpr std::uint32_t ARGUMENTS_BAD = 0x70000;

bytes file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Login state, user and flags at reply offsets 96, 100 and 104.
std::array<std::uint32_t, 3> info_words(const result_t& info) {
    return {u32_at(info.body, 20), u32_at(info.body, 24), u32_at(info.body, 28)};
}

TEST_F(HsmTest, OpenSessionsAreDistinctAndCountAsChanges) {
    auto before = send(GET_SESSION_INFO, 0);
    const auto first = open_session();
    const auto second = open_session();
    EXPECT_NE(first, second);
    EXPECT_GT(first, 1u);
    auto info = send(GET_SESSION_INFO, second);
    ASSERT_EQ(info.result, 0u);
    EXPECT_LE(info.raw.size(), 112u);
    EXPECT_EQ(info_words(info), (std::array<std::uint32_t, 3>{0, 0, 5}));
    EXPECT_EQ(header_of(info.headers, "Partition-Version"), "3");
    EXPECT_TRUE(header_of(info.headers, "App-Sessions-Version").value_or("").ends_with(":3"));
    EXPECT_EQ(before.result, SESSION_HANDLE_INVALID);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(HsmTest, GetPecReturnsTheMintedChain) {
    auto reply = send(GET_PEC, 0, {}, 13400);
    ASSERT_EQ(reply.result, 0u);
    const auto dir = dir_->path() / "pec-chain";
    const auto leaf = file_bytes(dir / "leaf.der");
    const auto second = file_bytes(dir / "8.der");
    const auto third = file_bytes(dir / "7.der");
    ASSERT_EQ(u32_at(reply.body, 0), leaf.size());
    ASSERT_EQ(u32_at(reply.body, 4), second.size());
    ASSERT_EQ(u32_at(reply.body, 8), third.size());
    EXPECT_EQ(bytes(reply.body.begin() + 12, reply.body.end()),
              concat(concat(leaf, second), third));
}

TEST_F(HsmTest, LoginLogoutAndSessionInfo) {
    const auto session = open_session();
    ASSERT_EQ(login(session), 0u);
    EXPECT_EQ(info_words(send(GET_SESSION_INFO, session)), (std::array<std::uint32_t, 3>{1, 1, 5}));
    EXPECT_EQ(login(session), ALREADY_LOGGED_IN);
    EXPECT_EQ(bound(LOGOUT, session).result, 0u);
    EXPECT_EQ(info_words(send(GET_SESSION_INFO, session))[0], 0u);
    EXPECT_EQ(bound(LOGOUT, session).result, NOT_LOGGED_IN);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(HsmTest, ChallengesAreFreshAndOfTypeZeroOnly) {
    const auto session = open_session();
    const auto first = challenge(session);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_NE(challenge(session), first);
    EXPECT_EQ(send(REQUEST_CHALLENGE, session, word(1)).result, CHALLENGE_TYPE_INVALID);
    EXPECT_EQ(send(REQUEST_CHALLENGE, session + 1000, word(0)).result, SESSION_HANDLE_INVALID);
}

struct bad_login_t {
    const char* name;
    std::function<bytes(const bytes& challenge)> plain;  // from the outstanding challenge
    std::uint32_t expected;
};

class BadLogin : public HsmTest, public ::testing::WithParamInterface<bad_login_t> {};

TEST_P(BadLogin, IsRefusedAndLeavesTheSessionLoggedOut) {
    const auto session = open_session();
    EXPECT_EQ(send_login(session, GetParam().plain(challenge(session))).result,
              GetParam().expected);
    EXPECT_EQ(info_words(send(GET_SESSION_INFO, session))[0], 0u);
    EXPECT_EQ(login(session), 0u);  // a fresh challenge with the right PIN still works
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadLogin,
    ::testing::Values(
        bad_login_t{"WrongPin", [](const bytes& c) { return concat(c, text("userpim")); },
                    PIN_INCORRECT},
        bad_login_t{"PinPrefix", [](const bytes& c) { return concat(c, text("user")); },
                    PIN_INCORRECT},
        bad_login_t{"EmptyPin", [](const bytes& c) { return c; }, PIN_INCORRECT},
        bad_login_t{"OtherChallenge",
                    [](const bytes& c) {
                        auto other = c;
                        other[0] ^= 1;
                        return concat(other, text("userpin"));
                    },
                    DATA_INVALID},
        bad_login_t{"ShortOfTheChallenge",
                    [](const bytes& c) { return bytes(c.begin(), c.begin() + 8); },
                    DATA_INVALID}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HsmTest, AChallengeServesOneAttempt) {
    const auto session = open_session();
    const auto issued = challenge(session);
    EXPECT_EQ(send_login(session, concat(issued, text("nope"))).result, PIN_INCORRECT);
    EXPECT_EQ(send_login(session, concat(issued, text("userpin"))).result, DATA_INVALID);
}

TEST_F(HsmTest, LoginWithoutChallengeOrWithGarbageIsRefused) {
    const auto session = open_session();
    EXPECT_EQ(send_login(session, text("userpin")).result, DATA_INVALID);
    challenge(session);
    auto body = concat(concat(word(1), word(LOGIN_MODE)), word(256));
    EXPECT_EQ(send(LOGIN, session, concat(body, bytes(256, 0x42))).result, DATA_INVALID);
    // A length beyond the request is refused, not read.
    EXPECT_EQ(send(LOGIN, session, concat(body, bytes(16, 0))).result, ARGUMENTS_BAD);
}

TEST_F(HsmTest, SessionsBelongToTheirApplication) {
    const auto session = open_session();
    auto issued = send(0x108);
    app_id_t other{};
    std::copy_n(issued.body.begin(), APP_ID_SIZE, other.begin());
    auto info = client_.send(command(GET_SESSION_INFO, other, session));
    EXPECT_EQ(info.result, SESSION_HANDLE_INVALID);
    EXPECT_EQ(bound(CLOSE_SESSION, session, {}, nullptr, &other).result, SESSION_HANDLE_INVALID);
    EXPECT_EQ(send(GET_SESSION_INFO, session).result, 0u);
}

TEST_F(HsmTest, SessionsBelongToTheirPartition) {
    const auto session = open_session();
    xtc_client other(engine_transport(engine_), OTHER_SERIAL, other_key_, [this] { return now_; });
    ASSERT_TRUE(other.open().authentic);
    EXPECT_EQ(other.send(command(GET_SESSION_INFO, app_, session)).result, SESSION_HANDLE_INVALID);
}

TEST_F(HsmTest, CloseSessionEndsIt) {
    const auto session = open_session();
    EXPECT_EQ(bound(CLOSE_SESSION, session).result, 0u);
    EXPECT_EQ(send(GET_SESSION_INFO, session).result, SESSION_HANDLE_INVALID);
    EXPECT_EQ(bound(CLOSE_SESSION, session).result, SESSION_HANDLE_INVALID);
}

TEST_F(HsmTest, CloseAllAndCleanAccessEndOnlyTheApplicationsSessions) {
    auto issued = send(0x108);
    app_id_t other{};
    std::copy_n(issued.body.begin(), APP_ID_SIZE, other.begin());
    const auto mine = open_session();
    const auto theirs = open_session(&other);
    const bytes app(app_.begin(), app_.end());
    EXPECT_EQ(bound(CLOSE_ALL_SESSIONS, 0, app).result, 0u);
    EXPECT_EQ(send(GET_SESSION_INFO, mine).result, SESSION_HANDLE_INVALID);
    EXPECT_EQ(client_.send(command(GET_SESSION_INFO, other, theirs)).result, 0u);

    const bytes their_app(other.begin(), other.end());
    EXPECT_EQ(client_.send(command(CLEAN_ACCESS, other, 0, their_app)).result, 0u);
    EXPECT_EQ(client_.send(command(GET_SESSION_INFO, other, theirs)).result,
              SESSION_HANDLE_INVALID);
    EXPECT_EQ(send(CLEAN_ACCESS, 0, their_app).result, ARGUMENTS_BAD);  // not its own id
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(HsmTest, CloseAllOfAnUnknownApplicationIsAccessIdInvalid) {
    app_id_t stranger{};
    stranger[3] = 9;
    const bytes app(stranger.begin(), stranger.end());
    EXPECT_EQ(bound(CLOSE_ALL_SESSIONS, 0, app, nullptr, &stranger).result, ACCESS_ID_INVALID);
}

TEST_F(HsmTest, WrongPinConfiguredElsewhereIsPerOptions) {
    service::engine_options_t options = with_chain();
    options.hsm.user_pin = "other";
    service::engine engine({{SERIAL, key_}}, options, [this] { return now_; });
    xtc_client client(engine_transport(engine), SERIAL, key_, [this] { return now_; });
    ASSERT_TRUE(client.open().authentic);
    auto issued = client.send(command(0x108, {}, 0));
    std::copy_n(issued.body.begin(), APP_ID_SIZE, app_.begin());
    client_ = std::move(client);
    const auto session = open_session();
    EXPECT_EQ(login(session, "userpin"), PIN_INCORRECT);
    EXPECT_EQ(login(session, "other"), 0u);
}

}  // namespace
}  // namespace service_test
