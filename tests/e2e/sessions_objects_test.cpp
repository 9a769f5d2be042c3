// Sessions, login and objects through the whole road: the host's slot calls, the plug-in, TLS,
// the tunnel and the stand-in HSM, whose own state is read back to see what really happened.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/code_names.h"
#include "config/codes.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/templates.h"

namespace {

using e2e::PARTITION_A;
using e2e::PARTITION_B;
using e2e::rc_text;
using e2e::requests_for;
using e2e::word_at;

// The host's byte block, laid out as the host lays it out.
struct memory_block_t {
    std::uint8_t* data;
    std::uint32_t length;
};

namespace slots {
constexpr std::size_t DELETE_INTEGERS = 3;
constexpr std::size_t GET_SESSION_INFO = 21;
constexpr std::size_t CLOSE_APPLICATION_ID = 8;
constexpr std::size_t CLOSE_ALL_SESSIONS = 59;
constexpr std::size_t CLEAN_ACCESS = 60;
constexpr std::size_t REQUEST_CHALLENGE = 122;
constexpr std::size_t LOGIN = 61;
constexpr std::size_t LOGOUT = 63;
constexpr std::size_t CREATE_OBJECT = 64;
constexpr std::size_t DESTROY_OBJECT = 65;
constexpr std::size_t DESTROY_MULTIPLE_OBJECTS = 66;
constexpr std::size_t COPY_OBJECT = 67;
constexpr std::size_t GET_OBJECT_SIZE = 68;
constexpr std::size_t GET_ATTRIBUTE_SIZE = 69;
constexpr std::size_t GET_ATTRIBUTE_VALUE = 70;
constexpr std::size_t SET_ATTRIBUTE_VALUE = 71;
constexpr std::size_t FIND_OBJECTS_INIT = 72;
constexpr std::size_t FIND_OBJECTS_UPDATE = 73;
constexpr std::size_t FIND_OBJECTS_FINAL = 74;
constexpr std::size_t GET_OBJECT_OUID = 123;
constexpr std::size_t GET_OBJECT_HANDLE = 124;

using u32 = std::uint32_t;
using delete_integers_fn = void (*)(u32*, u32);
using get_session_info_fn = u32 (*)(void*, u32, u32*, u32*, u32*, u32*, u32*);
using close_all_sessions_fn = u32 (*)(void*, u32, void*);
using close_application_id_fn = u32 (*)(void*, u32, u32);
using clean_access_fn = u32 (*)(void*, u32);
using request_challenge_fn = u32 (*)(void*, u32, u32, u32, u32*, memory_block_t*);
using login_fn = u32 (*)(void*, u32, u32, u32, const memory_block_t*, u32, bool);
using session_fn = u32 (*)(void*, u32);
using create_object_fn = u32 (*)(void*, u32, const memory_block_t*, u32, u32*);
using destroy_object_fn = u32 (*)(void*, u32, u32);
using destroy_multiple_fn = u32 (*)(void*, u32, const e2e::integer_block_t*, u32*);
using copy_object_fn = u32 (*)(void*, u32, u32, const memory_block_t*, u32*);
using get_object_size_fn = u32 (*)(void*, u32, u32, u32*);
using get_attribute_size_fn = u32 (*)(void*, u32, u32, u32, u32*);
using get_attribute_value_fn = u32 (*)(void*, u32, u32, u32, memory_block_t*);
using set_attribute_value_fn = u32 (*)(void*, u32, u32, const memory_block_t*);
using find_init_fn = u32 (*)(void*, u32, const memory_block_t*);
using find_update_fn = u32 (*)(void*, u32, e2e::integer_block_t*, u32);
using get_object_ouid_fn = u32 (*)(void*, u32, u32, u32, std::uint8_t*);
using get_object_handle_fn = u32 (*)(void*, u32, const std::uint8_t*, u32*, u32*);
}  // namespace slots

constexpr std::uint32_t USER = 1;
constexpr std::string_view PIN = service::DEFAULT_USER_PIN;
// Attribute types the tests store; the HSM keeps any type it is given.
constexpr std::uint32_t LABEL = 0x03;
constexpr std::uint32_t APPLICATION = 0x10;
constexpr std::uint32_t OUID = service::OUID_ATTRIBUTE;
constexpr std::size_t OUID_SIZE = service::OUID_SIZE;
// Session info words as the stand-in fills them.
constexpr std::uint32_t LOGGED_IN = 1;
constexpr std::uint32_t NOT_LOGGED_IN = 0;
// Offset of the session handle in a logged command (the request from offset 136).
constexpr std::size_t COMMAND_SESSION = 172 - 136;


using bytes = std::vector<std::uint8_t>;

bytes to_bytes(std::string_view text) {
    return bytes(text.begin(), text.end());
}

struct attribute_t {
    std::uint32_t type;
    std::string_view value;
};

// A template serialised as the host serialises it.
bytes serialise(std::initializer_list<attribute_t> attributes) {
    std::vector<host::attribute_t> serialised;
    for (const auto& attribute : attributes) {
        serialised.push_back({attribute.type, to_bytes(attribute.value)});
    }
    return host::serialise_template(serialised);
}

memory_block_t block_of(bytes& data) {
    return {data.data(), static_cast<std::uint32_t>(data.size())};
}

struct session_info_t {
    std::uint32_t rc = 0;
    std::uint32_t container = 0;
    std::uint32_t state = 0;  // the three words of the reply
    std::uint32_t user = 0;
    std::uint32_t flags = 0;
    bool record_zeroed = false;
};

class SessionsObjectsTest : public e2e::PluginFixture {
  protected:
    void SetUp() override {
        e2e::PluginFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(initialize(), RC_OK);
        std::uint32_t rc = 0;
        containers_ = container_list(rc);
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(containers_.size(), 2u);
    }

    std::uint32_t container_a() const { return containers_[0]; }
    std::uint32_t container_b() const { return containers_[1]; }

    std::uint32_t login(std::uint32_t session, std::uint32_t container,
                        const std::optional<std::string>& secret = std::string(PIN),
                        bool extra_flag = false) {
        bytes data = to_bytes(secret.value_or(""));
        memory_block_t block = block_of(data);
        return slot<slots::login_fn>(slots::LOGIN)(nullptr, session, container, USER,
                                                   secret ? &block : nullptr, 0, extra_flag);
    }
    std::uint32_t logout(std::uint32_t session) {
        return slot<slots::session_fn>(slots::LOGOUT)(nullptr, session);
    }
    std::uint32_t close_all_sessions(std::uint32_t container) {
        return slot<slots::close_all_sessions_fn>(slots::CLOSE_ALL_SESSIONS)(nullptr, container,
                                                                             nullptr);
    }
    session_info_t session_info(std::uint32_t session) {
        constexpr std::uint32_t UNTOUCHED = 0xA5A5A5A5;
        std::uint32_t record[3] = {UNTOUCHED, UNTOUCHED, UNTOUCHED};
        session_info_t info;
        info.rc = slot<slots::get_session_info_fn>(slots::GET_SESSION_INFO)(
            nullptr, session, record, &info.container, &info.state, &info.user, &info.flags);
        info.record_zeroed = record[0] == 0 && record[1] == 0 && record[2] == 0;
        return info;
    }
    // A session on `container` with the user logged in; 0 when either step failed.
    std::uint32_t logged_in_session(std::uint32_t container) {
        std::uint32_t session = 0;
        EXPECT_RC(open_session(container, &session), RC_OK);
        EXPECT_RC(login(session, container), RC_OK);
        return session;
    }

    std::uint32_t create(std::uint32_t session, bytes tmpl, std::uint32_t& handle) {
        memory_block_t block = block_of(tmpl);
        return slot<slots::create_object_fn>(slots::CREATE_OBJECT)(nullptr, session, &block, 0,
                                                                   &handle);
    }
    std::uint32_t destroy(std::uint32_t session, std::uint32_t object) {
        return slot<slots::destroy_object_fn>(slots::DESTROY_OBJECT)(nullptr, session, object);
    }
    // A whole search as a host runs it: init, one update, final; the handle array goes back
    // through slot 3. The first failing step's code.
    std::uint32_t find(std::uint32_t session, bytes tmpl, std::vector<std::uint32_t>& found) {
        constexpr std::uint32_t MAX_COUNT = 8;
        memory_block_t block = block_of(tmpl);
        found.clear();
        if (auto rc = slot<slots::find_init_fn>(slots::FIND_OBJECTS_INIT)(nullptr, session, &block);
            rc != RC_OK) {
            return rc;
        }
        e2e::integer_block_t list{nullptr, 0};
        const std::uint32_t update = slot<slots::find_update_fn>(slots::FIND_OBJECTS_UPDATE)(
            nullptr, session, &list, MAX_COUNT);
        if (update == RC_OK && list.data != nullptr) {
            found.assign(list.data, list.data + list.count);
        }
        slot<slots::delete_integers_fn>(slots::DELETE_INTEGERS)(list.data, list.count);
        const std::uint32_t final =
            slot<slots::session_fn>(slots::FIND_OBJECTS_FINAL)(nullptr, session);
        return update != RC_OK ? update : final;
    }
    // The attribute's value, asked for in the exact size the HSM reports, as a host does.
    std::uint32_t read_attribute(std::uint32_t session, std::uint32_t object, std::uint32_t type,
                                 bytes& value) {
        std::uint32_t size = 0;
        value.clear();
        if (auto rc = slot<slots::get_attribute_size_fn>(slots::GET_ATTRIBUTE_SIZE)(
                nullptr, session, object, type, &size);
            rc != RC_OK) {
            return rc;
        }
        value.assign(size, 0);
        memory_block_t block = block_of(value);
        const std::uint32_t rc = slot<slots::get_attribute_value_fn>(slots::GET_ATTRIBUTE_VALUE)(
            nullptr, session, object, type, &block);
        EXPECT_EQ(block.length, size);
        return rc;
    }
    std::uint32_t object_size(std::uint32_t session, std::uint32_t object, std::uint32_t& size) {
        return slot<slots::get_object_size_fn>(slots::GET_OBJECT_SIZE)(nullptr, session, object,
                                                                       &size);
    }

    // The sessions the HSM holds open on a partition, whoever opened them.
    std::size_t hsm_sessions(std::uint64_t serial) {
        auto* partition = engine().hsm().partition(serial);
        std::lock_guard lock(partition->mutex());
        return partition->state().sessions.size();
    }
    std::size_t hsm_objects(std::uint64_t serial) {
        auto* partition = engine().hsm().partition(serial);
        std::lock_guard lock(partition->mutex());
        return partition->state().objects.size();
    }
    // The commands of the login road that reached the service, oldest first.
    std::vector<std::uint32_t> login_commands() {
        std::vector<std::uint32_t> codes;
        for (const auto& record : engine().requests()) {
            const auto code = record.command.value_or(0);
            if (code == ORVA_REQUEST_CHALLENGE || code == ORVA_GET_PEC || code == ORVA_LOGIN) {
                codes.push_back(code);
            }
        }
        return codes;
    }
    void expect_no_violations() {
        const auto counts = engine().violations();
        EXPECT_EQ(counts.total(), 0u)
            << "tags " << counts.tag_failures << ", sequences " << counts.sequence_reuses
            << ", tokens " << counts.unknown_tokens << ", saved contexts "
            << counts.saved_context_sequences << ", contexts " << counts.context_reuses << "/"
            << counts.context_mismatches << ", expired " << counts.expired_requests;
    }

  private:
    std::vector<std::uint32_t> containers_;
};

TEST_F(SessionsObjectsTest, LoginAnswersTheChallengeUnderTheChainAndLogoutEndsIt) {
    std::uint32_t session = 0;
    ASSERT_RC(open_session(container_a(), &session), RC_OK);
    engine().clear_requests();
    EXPECT_RC(login(session, container_a()), RC_OK);
    EXPECT_EQ(login_commands(),
              (std::vector<std::uint32_t>{ORVA_REQUEST_CHALLENGE, ORVA_GET_PEC, ORVA_LOGIN}));
    auto logins = requests_for(engine(), ORVA_LOGIN);
    ASSERT_EQ(logins.size(), 1u);
    const auto& sent = logins[0].command_bytes;
    EXPECT_EQ(std::search(sent.begin(), sent.end(), PIN.begin(), PIN.end()), sent.end())
        << "the PIN travelled in the clear";
    EXPECT_EQ(logins[0].partition, PARTITION_A);
    EXPECT_EQ(word_at(sent, COMMAND_SESSION), session);

    const auto info = session_info(session);
    EXPECT_RC(info.rc, RC_OK);
    EXPECT_EQ(info.container, container_a());
    EXPECT_EQ(info.state, LOGGED_IN);
    EXPECT_EQ(info.user, USER);
    EXPECT_TRUE(info.record_zeroed);

    EXPECT_RC(logout(session), RC_OK);
    EXPECT_EQ(session_info(session).state, NOT_LOGGED_IN);
    // A challenge serves one attempt: the next login asks for a fresh one.
    EXPECT_RC(login(session, container_a()), RC_OK);
    EXPECT_EQ(requests_for(engine(), ORVA_REQUEST_CHALLENGE).size(), 2u);
    EXPECT_RC(logout(session), RC_OK);
    EXPECT_RC(close_session(session), RC_OK);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 0u);
    expect_no_violations();
}

// A login the plug-in or the HSM turns down, and how far along the road it got.
struct rejected_login_t {
    const char* name;
    std::optional<std::string> secret;
    bool other_partitions_container;
    bool extra_flag;
    std::uint32_t expected;
    std::vector<std::uint32_t> commands;  // of the login road that reached the service
};

TEST_F(SessionsObjectsTest, RejectedLoginsLeaveTheSessionUsable) {
    constexpr auto CHALLENGE = ORVA_REQUEST_CHALLENGE;
    constexpr auto PEC = ORVA_GET_PEC;
    const std::string pin(PIN);
    // clang-format off
    const rejected_login_t cases[] = {
        {"wrong PIN", "wrongpin", false, false, ORVA_RET_UM_PIN_INCORRECT,
         {CHALLENGE, PEC, ORVA_LOGIN}},
        {"container of the other partition", pin, true, false, ORVA_RET_CONTAINER_HANDLE_INVALID,
         {}},
        {"extra flag", pin, false, true, ORVA_RET_DATA_INVALID, {}},
        {"no secret", std::nullopt, false, false, RC_POINTER_INVALID, {CHALLENGE}},
        {"challenge and secret over 512 bytes", std::string(481, 'p'), false, false,
         ORVA_RET_DATA_INVALID, {CHALLENGE, PEC}},
    };
    // clang-format on
    std::uint32_t session = 0;
    ASSERT_RC(open_session(container_b(), &session), RC_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine().clear_requests();
        const std::uint32_t container =
            c.other_partitions_container ? container_a() : container_b();
        EXPECT_RC(login(session, container, c.secret, c.extra_flag), c.expected);
        EXPECT_EQ(login_commands(), c.commands);
        const auto info = session_info(session);
        EXPECT_RC(info.rc, RC_OK);
        EXPECT_EQ(info.state, NOT_LOGGED_IN);
        EXPECT_EQ(info.container, container_b());
    }
    EXPECT_RC(login(session, container_b()), RC_OK);
    EXPECT_EQ(session_info(session).state, LOGGED_IN);
    expect_no_violations();
}

TEST_F(SessionsObjectsTest, CreateFindReadAndDestroyAnObject) {
    const std::uint32_t session = logged_in_session(container_a());
    constexpr std::string_view NAME = "e2e label";
    const bytes tmpl = serialise({{LABEL, NAME}, {APPLICATION, "ximora"}});
    std::uint32_t object = 0;
    std::uint32_t other = 0;
    ASSERT_RC(create(session, tmpl, object), RC_OK);
    ASSERT_RC(create(session, serialise({{LABEL, "another"}}), other), RC_OK);
    EXPECT_NE(object, other);

    std::vector<std::uint32_t> found;
    EXPECT_RC(find(session, serialise({{LABEL, NAME}}), found), RC_OK);
    EXPECT_EQ(found, std::vector<std::uint32_t>{object});
    bytes value;
    EXPECT_RC(read_attribute(session, object, LABEL, value), RC_OK);
    EXPECT_EQ(value, to_bytes(NAME));
    std::uint32_t size = 0;
    EXPECT_RC(object_size(session, object, size), RC_OK);
    EXPECT_EQ(size, tmpl.size() + 8 + OUID_SIZE) << "the template plus the unique id attribute";

    // Unique id and handle translate into each other; the handle's search session is closed.
    std::uint8_t ouid[OUID_SIZE] = {};
    EXPECT_RC(slot<slots::get_object_ouid_fn>(slots::GET_OBJECT_OUID)(nullptr, container_a(),
                                                                      object, 0, ouid),
              RC_OK);
    bytes ouid_attribute;
    EXPECT_RC(read_attribute(session, object, OUID, ouid_attribute), RC_OK);
    EXPECT_EQ(ouid_attribute, bytes(ouid, ouid + OUID_SIZE));
    auto handle_of = slot<slots::get_object_handle_fn>(slots::GET_OBJECT_HANDLE);
    std::uint32_t found_flag = 0;
    std::uint32_t handle = 0;
    engine().clear_requests();
    EXPECT_RC(handle_of(nullptr, container_a(), ouid, &found_flag, &handle), RC_OK);
    EXPECT_EQ(found_flag, 1u);
    EXPECT_EQ(handle, object);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 1u) << "only the test's own session is open";
    EXPECT_EQ(requests_for(engine(), ORVA_CLOSE_SESSION).size(), 1u);

    EXPECT_RC(destroy(session, object), RC_OK);
    EXPECT_RC(find(session, serialise({{LABEL, NAME}}), found), RC_OK);
    EXPECT_TRUE(found.empty());
    EXPECT_RC(read_attribute(session, object, LABEL, value), ORVA_RET_OBJECT_HANDLE_INVALID);
    found_flag = handle = 0xFFFFFFFF;
    EXPECT_RC(handle_of(nullptr, container_a(), ouid, &found_flag, &handle), RC_OK);
    EXPECT_EQ(found_flag, 0u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 1u);
    EXPECT_EQ(hsm_objects(PARTITION_A), 1u);
    expect_no_violations();
}

TEST_F(SessionsObjectsTest, CopyAndChangeAnObject) {
    const std::uint32_t session = logged_in_session(container_b());
    std::uint32_t original = 0;
    ASSERT_RC(create(session, serialise({{LABEL, "original"}, {APPLICATION, "app"}}), original),
              RC_OK);
    bytes changes = serialise({{LABEL, "the copy"}});
    memory_block_t block = block_of(changes);
    std::uint32_t copy = 0;
    EXPECT_RC(
        slot<slots::copy_object_fn>(slots::COPY_OBJECT)(nullptr, session, original, &block, &copy),
        RC_OK);
    EXPECT_NE(copy, original);
    bytes value;
    EXPECT_RC(read_attribute(session, copy, LABEL, value), RC_OK);
    EXPECT_EQ(value, to_bytes("the copy"));
    EXPECT_RC(read_attribute(session, copy, APPLICATION, value), RC_OK);
    EXPECT_EQ(value, to_bytes("app"));

    bytes relabel = serialise({{LABEL, "renamed"}});
    block = block_of(relabel);
    EXPECT_RC(slot<slots::set_attribute_value_fn>(slots::SET_ATTRIBUTE_VALUE)(nullptr, session,
                                                                              original, &block),
              RC_OK);
    EXPECT_RC(read_attribute(session, original, LABEL, value), RC_OK);
    EXPECT_EQ(value, to_bytes("renamed"));
    std::vector<std::uint32_t> found;
    EXPECT_RC(find(session, serialise({{APPLICATION, "app"}}), found), RC_OK);
    EXPECT_EQ(found, (std::vector<std::uint32_t>{original, copy}));
    expect_no_violations();
}

TEST_F(SessionsObjectsTest, DestroyMultipleObjectsCountsOnesAlreadyGone) {
    const std::uint32_t session = logged_in_session(container_a());
    std::uint32_t objects[3] = {};
    for (auto& object : objects) {
        ASSERT_RC(create(session, serialise({{LABEL, "doomed"}}), object), RC_OK);
    }
    ASSERT_RC(destroy(session, objects[1]), RC_OK);
    e2e::integer_block_t list{objects, 3};
    std::uint32_t done = 0;
    EXPECT_RC(slot<slots::destroy_multiple_fn>(slots::DESTROY_MULTIPLE_OBJECTS)(nullptr, session,
                                                                                &list, &done),
              RC_OK);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(hsm_objects(PARTITION_A), 0u);
    std::uint32_t size = 0;
    EXPECT_RC(object_size(session, objects[2], size), ORVA_RET_OBJECT_HANDLE_INVALID);
    expect_no_violations();
}

TEST_F(SessionsObjectsTest, CloseAllSessionsOfAContainerForgetsItsSessionsOnly) {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint32_t elsewhere = 0;
    ASSERT_RC(open_session(container_a(), &first), RC_OK);
    ASSERT_RC(open_session(container_a(), &second), RC_OK);
    ASSERT_RC(open_session(container_b(), &elsewhere), RC_OK);
    ASSERT_RC(login(first, container_a()), RC_OK);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 2u);

    EXPECT_RC(close_all_sessions(container_a()), RC_OK);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 0u);
    // The other partition's session is still open in the HSM and stays usable.
    EXPECT_EQ(hsm_sessions(PARTITION_B), 1u);
    EXPECT_RC(session_info(elsewhere).rc, RC_OK);
    EXPECT_RC(login(elsewhere, container_b()), RC_OK);
    engine().clear_requests();
    EXPECT_RC(session_info(first).rc, ORVA_RET_SM_SESSION_HANDLE_INVALID);
    EXPECT_RC(logout(first), ORVA_RET_SM_SESSION_HANDLE_INVALID);
    EXPECT_RC(close_session(second), ORVA_RET_SM_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(engine().requests().empty()) << "a forgotten session sends nothing";
    // The container stays usable.
    std::uint32_t fresh = 0;
    EXPECT_RC(open_session(container_a(), &fresh), RC_OK);
    EXPECT_RC(login(fresh, container_a()), RC_OK);
    expect_no_violations();
}

TEST_F(SessionsObjectsTest, ChallengesAreFreshAndOfTheTypeTheHsmKnows) {
    constexpr std::uint32_t CAPACITY = 64;
    constexpr std::uint32_t UNKNOWN_TYPE = 1;
    std::uint32_t session = 0;
    ASSERT_RC(open_session(container_a(), &session), RC_OK);
    auto request = slot<slots::request_challenge_fn>(slots::REQUEST_CHALLENGE);
    bytes challenges[2];
    std::uint32_t first_words[2] = {};
    for (int i = 0; i < 2; ++i) {
        challenges[i].assign(CAPACITY, 0);
        memory_block_t block = block_of(challenges[i]);
        ASSERT_RC(request(nullptr, session, container_a(), 0, &first_words[i], &block), RC_OK);
        ASSERT_GT(block.length, 0u);
        ASSERT_LE(block.length, CAPACITY);
        challenges[i].resize(block.length);
    }
    EXPECT_NE(challenges[0], challenges[1]);
    EXPECT_NE(first_words[0], first_words[1]) << "the HSM's word for each challenge it issued";

    bytes buffer(CAPACITY);
    memory_block_t block = block_of(buffer);
    engine().clear_requests();
    EXPECT_RC(request(nullptr, session, container_a(), UNKNOWN_TYPE, nullptr, &block),
              ORVA_RET_CHALLENGE_TYPE_INVALID);
    EXPECT_RC(request(nullptr, session, container_b(), 0, nullptr, &block),
              ORVA_RET_CONTAINER_HANDLE_INVALID);
    EXPECT_TRUE(engine().requests().empty()) << "refused before anything was sent";
    expect_no_violations();
}

// Slots that end the application's access to a partition: the HSM closes its sessions there;
// the plug-in changes nothing and lets the HSM answer for the sessions it closed.
struct access_case_t {
    const char* name;
    std::size_t slot;
    bool unused_word_first;  // close_application_id takes an unused word before the container
};

class AccessTest : public SessionsObjectsTest,
                   public ::testing::WithParamInterface<access_case_t> {};

TEST_P(AccessTest, EndsTheSessionsOfThatPartitionOnly) {
    std::uint32_t on_a = 0;
    std::uint32_t on_b = 0;
    ASSERT_RC(open_session(container_a(), &on_a), RC_OK);
    ASSERT_RC(open_session(container_b(), &on_b), RC_OK);

    const auto& c = GetParam();
    const std::uint32_t rc =
        c.unused_word_first
            ? slot<slots::close_application_id_fn>(c.slot)(nullptr, 0, container_a())
            : slot<slots::clean_access_fn>(c.slot)(nullptr, container_a());
    EXPECT_RC(rc, RC_OK);
    EXPECT_EQ(hsm_sessions(PARTITION_A), 0u);
    EXPECT_EQ(hsm_sessions(PARTITION_B), 1u);
    EXPECT_RC(session_info(on_a).rc, ORVA_RET_SM_SESSION_HANDLE_INVALID);
    EXPECT_EQ(requests_for(engine(), ORVA_GET_SESSION_INFO).size(), 1u)
        << "the plug-in still knows the session; the HSM answers for it";
    EXPECT_RC(session_info(on_b).rc, RC_OK);
    std::uint32_t fresh = 0;
    EXPECT_RC(open_session(container_a(), &fresh), RC_OK);
    EXPECT_RC(login(fresh, container_a()), RC_OK);
    expect_no_violations();
}

INSTANTIATE_TEST_SUITE_P(
    Slots, AccessTest,
    ::testing::Values(access_case_t{"clean_access", slots::CLEAN_ACCESS, false},
                      access_case_t{"close_application_id", slots::CLOSE_APPLICATION_ID, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsObjectsTest, EightHostThreadsRunWholeObjectLives) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 10;
    std::atomic<int> completed{0};
    std::mutex failures_mutex;  // guards failures
    std::vector<std::string> failures;
    // One host thread's whole object life in a session of its own: empty when every step
    // succeeded, else the first failing step.
    auto run_round = [&](std::uint32_t container, const std::string& label) -> std::string {
        std::uint32_t session = 0;
        if (auto rc = open_session(container, &session); rc != RC_OK) {
            return "open " + rc_text(rc);
        }
        if (auto rc = login(session, container); rc != RC_OK) {
            return "login " + rc_text(rc);
        }
        std::uint32_t object = 0;
        if (auto rc = create(session, serialise({{LABEL, label}}), object); rc != RC_OK) {
            return "create " + rc_text(rc);
        }
        std::vector<std::uint32_t> found;
        if (auto rc = find(session, serialise({{LABEL, label}}), found); rc != RC_OK) {
            return "find " + rc_text(rc);
        }
        if (found != std::vector<std::uint32_t>{object}) {
            return "find returned " + std::to_string(found.size()) + " handles";
        }
        if (auto rc = destroy(session, object); rc != RC_OK) {
            return "destroy " + rc_text(rc);
        }
        if (auto rc = logout(session); rc != RC_OK) {
            return "logout " + rc_text(rc);
        }
        if (auto rc = close_session(session); rc != RC_OK) {
            return "close " + rc_text(rc);
        }
        return {};
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; ++round) {
                const std::uint32_t container =
                    (t + round) % 2 == 0 ? container_a() : container_b();
                const std::string label =
                    "thread " + std::to_string(t) + " round " + std::to_string(round);
                std::string failure = run_round(container, label);
                if (failure.empty()) {
                    ++completed;
                } else {
                    std::lock_guard lock(failures_mutex);
                    failures.push_back(label + ": " + failure);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(completed.load(), THREADS * ROUNDS);
    EXPECT_TRUE(failures.empty()) << failures.front();
    for (auto serial : {PARTITION_A, PARTITION_B}) {
        EXPECT_EQ(hsm_sessions(serial), 0u) << serial;
        EXPECT_EQ(hsm_objects(serial), 0u) << serial;
    }
    expect_no_violations();
}

}  // namespace
