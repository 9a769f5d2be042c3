// Session bookkeeping follows what the HSM confirmed; challenges and session information are
// read from replies only as far as the replies reach.

#include <gtest/gtest.h>

#include <cstring>

#include "config/codes.h"
#include "operations/sessions.h"
#include "plugin/session_maps.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

constexpr std::uint32_t HSM_FAILURE = 0x50000;

class SessionsTest : public OperationsTest {
  protected:
    // A saved context in every operation map, as running searches and operations leave them.
    static void give_contexts(std::uint32_t session) {
        for (auto* contexts : all_context_maps()) {
            contexts->insert_or_assign(session, saved_context_t{{7}, 3});
        }
    }
    static std::vector<session_table<saved_context_t>*> all_context_maps() {
        return {&s_find_objects_context_map, &s_encrypt_context_map, &s_decrypt_context_map,
                &s_digest_context_map,       &s_sign_context_map,    &s_verify_context_map};
    }
    static int contexts_of(std::uint32_t session) {
        int count = 0;
        for (auto* contexts : all_context_maps()) {
            count += contexts->find(session).has_value() ? 1 : 0;
        }
        return count;
    }
};

TEST_F(SessionsTest, OpenSessionRegistersTheNewHandleWithTheContainersPartition) {
    std::uint32_t session = 0;
    ASSERT_EQ(open_session(nullptr, 0, SECOND_CONTAINER, &session, 0), RC_OK);
    EXPECT_EQ(session, FIRST_NEW_SESSION);
    EXPECT_EQ(session_to_partition(session), SECOND);
}

TEST_F(SessionsTest, OpenSessionThatTheHsmRefusesRegistersNothing) {
    answer_result(ORVA_OPEN_SESSION, HSM_FAILURE);
    std::uint32_t session = 0xDEAD;
    EXPECT_EQ(open_session(nullptr, 0, FIRST_CONTAINER, &session, 0), HSM_FAILURE);
    EXPECT_EQ(session, 0xDEADu);
    EXPECT_EQ(s_session_partition_map.size(), 2u);  // only the fixture's sessions
}

TEST_F(SessionsTest, OpenSessionReplyWithoutAHandleIsRefused) {
    answer_body(ORVA_OPEN_SESSION, {0x01, 0x02});
    std::uint32_t session = 0xDEAD;
    EXPECT_EQ(open_session(nullptr, 0, FIRST_CONTAINER, &session, 0), RC_BUFFER_TOO_SMALL);
    EXPECT_EQ(session, 0xDEADu);
    EXPECT_EQ(s_session_partition_map.size(), 2u);
}

TEST_F(SessionsTest, CloseSessionForgetsTheSessionAndEveryContextOfItOnly) {
    give_contexts(SESSION);
    give_contexts(OTHER_SESSION);
    ASSERT_EQ(close_session(nullptr, SESSION), RC_OK);
    EXPECT_EQ(session_to_partition(SESSION), 0u);
    EXPECT_EQ(contexts_of(SESSION), 0);
    EXPECT_EQ(session_to_partition(OTHER_SESSION), SECOND);
    EXPECT_EQ(contexts_of(OTHER_SESSION), 6);
}

TEST_F(SessionsTest, CloseSessionThatTheHsmRejectsKeepsEverything) {
    give_contexts(SESSION);
    answer_result(ORVA_CLOSE_SESSION, HSM_FAILURE);
    EXPECT_EQ(close_session(nullptr, SESSION), HSM_FAILURE);
    EXPECT_EQ(session_to_partition(SESSION), FIRST);
    EXPECT_EQ(contexts_of(SESSION), 6);
}

TEST_F(SessionsTest, LostContextRerunsTheWholeSequenceWithAFreshContext) {
    int closes = 0;
    answer(ORVA_CLOSE_SESSION, [&](const fake::received_t&) {
        return fake::result(++closes == 1 ? ORVA_RET_CONTEXT_INVALID : RC_OK);
    });
    ASSERT_EQ(close_session(nullptr, SESSION), RC_OK);
    EXPECT_EQ(sent_codes(),
              (std::vector<std::uint32_t>{ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION,
                                          ORVA_OPEN_CONTEXT_SESSION, ORVA_CLOSE_SESSION}));
    EXPECT_EQ(session_to_partition(SESSION), 0u);
}

struct close_all_case_t {
    const char* name;
    std::uint32_t hsm_result;
    std::uint32_t expected;
    bool forgets;
};

void PrintTo(const close_all_case_t& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const close_all_case_t CLOSE_ALL_CASES[] = {
    {"confirmed_forgets_that_partitions_sessions", RC_OK, RC_OK, true},
    {"no_access_is_success_and_keeps_everything", ORVA_RET_SM_ACCESS_ID_INVALID, RC_OK, false},
    {"failure_keeps_everything", HSM_FAILURE, HSM_FAILURE, false},
};
// clang-format on

class CloseAllTest : public SessionsTest, public ::testing::WithParamInterface<close_all_case_t> {};

TEST_P(CloseAllTest, ChangesTheMapsOnlyWhenConfirmed) {
    const auto& c = GetParam();
    give_contexts(SESSION);
    give_contexts(OTHER_SESSION);
    answer_result(ORVA_CLOSE_ALL_SESSIONS, c.hsm_result);

    EXPECT_EQ(close_all_sessions(nullptr, FIRST_CONTAINER, nullptr), c.expected);
    EXPECT_EQ(sent_codes(),
              (std::vector<std::uint32_t>{ORVA_OPEN_CONTEXT_SESSIONLESS, ORVA_CLOSE_ALL_SESSIONS}));
    EXPECT_EQ(session_to_partition(SESSION), c.forgets ? 0u : FIRST);
    EXPECT_EQ(contexts_of(SESSION), c.forgets ? 0 : 6);
    // The other partition's session is still open in the HSM: the host keeps it.
    EXPECT_EQ(session_to_partition(OTHER_SESSION), SECOND);
    EXPECT_EQ(contexts_of(OTHER_SESSION), 6);
}

INSTANTIATE_TEST_SUITE_P(Sessions, CloseAllTest, ::testing::ValuesIn(CLOSE_ALL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, LogoutChangesNoLocalState) {
    give_contexts(SESSION);
    ASSERT_EQ(logout(nullptr, SESSION), RC_OK);
    EXPECT_EQ(session_to_partition(SESSION), FIRST);
    EXPECT_EQ(contexts_of(SESSION), 6);
}

TEST_F(SessionsTest, SessionInfoFillsEachGivenOutputOnlyOnSuccess) {
    answer_body(ORVA_GET_SESSION_INFO,
                concat({bytes_t(20, 0xEE), words({0x1111, 0x2222, 0x3333})}));
    api_session_info info{{9, 9, 9}};
    std::uint32_t container = 0, word1 = 0, word3 = 0;
    ASSERT_EQ(get_session_info(nullptr, OTHER_SESSION, &info, &container, &word1, nullptr, &word3),
              RC_OK);
    EXPECT_EQ(info.words[0] | info.words[1] | info.words[2], 0u);
    EXPECT_EQ(container, SECOND_CONTAINER);
    EXPECT_EQ(word1, 0x1111u);
    EXPECT_EQ(word3, 0x3333u);

    answer_result(ORVA_GET_SESSION_INFO, HSM_FAILURE);
    std::uint32_t untouched = 5;
    EXPECT_EQ(get_session_info(nullptr, SESSION, nullptr, &untouched, &untouched, nullptr, nullptr),
              HSM_FAILURE);
    EXPECT_EQ(untouched, 5u);
    // With no output at all the command is still sent.
    EXPECT_EQ(sent(ORVA_GET_SESSION_INFO).size(), 2u);
}

TEST_F(SessionsTest, SessionInfoReplyTooShortForItsWordsWritesNothing) {
    answer_body(ORVA_GET_SESSION_INFO, bytes_t(28, 0));  // ends before the third word
    std::uint32_t word1 = 5;
    EXPECT_EQ(get_session_info(nullptr, SESSION, nullptr, nullptr, &word1, nullptr, nullptr),
              RC_BUFFER_TOO_SMALL);
    EXPECT_EQ(word1, 5u);
}

struct challenge_case_t {
    const char* name;
    bytes_t reply;           // body from response offset 76
    std::uint32_t capacity;  // the host block's length on entry
    bool with_data;
    std::uint32_t expected;
    std::uint32_t length_out;  // the block's length afterwards
    std::size_t copied;        // bytes written to the host buffer
};

void PrintTo(const challenge_case_t& c, std::ostream* os) {
    *os << c.name;
}

const bytes_t CHALLENGE_32 = [] {
    bytes_t bytes(32);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    return bytes;
}();

// clang-format off
const challenge_case_t CHALLENGE_CASES[] = {
    {"fits", concat({words({0xF1, 32}), CHALLENGE_32}), 64, true, RC_OK, 32, 32},
    {"longer_than_the_buffer_reports_its_length", concat({words({0xF1, 32}), CHALLENGE_32}), 16,
     true, RC_OK, 32, 16},
    {"length_only", concat({words({0xF1, 32}), CHALLENGE_32}), 64, false, RC_OK, 32, 0},
    {"claims_more_than_the_reply_holds", concat({words({0xF1, 32}), bytes_t(8, 1)}), 64, true,
     RC_BUFFER_TOO_SMALL, 64, 0},
    {"no_length_word", words({0xF1}), 64, true, RC_BUFFER_TOO_SMALL, 64, 0},
};
// clang-format on

class ChallengeTest : public SessionsTest,
                      public ::testing::WithParamInterface<challenge_case_t> {};

TEST_P(ChallengeTest, CopiesNoMoreThanTheBufferAndTheReplyHold) {
    const auto& c = GetParam();
    answer_body(ORVA_REQUEST_CHALLENGE, c.reply);
    bytes_t buffer(c.capacity + 8, 0xCC);  // 8 guard bytes behind the capacity
    api_memory_block block{c.with_data ? buffer.data() : nullptr, c.capacity};
    std::uint32_t first = 0;

    EXPECT_EQ(request_challenge(nullptr, SESSION, FIRST_CONTAINER, 0, &first, &block), c.expected);
    EXPECT_EQ(block.length, c.length_out);
    EXPECT_EQ(first, c.expected == RC_OK ? 0xF1u : 0u);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        const std::uint8_t expected = i < c.copied ? CHALLENGE_32[i] : 0xCC;
        ASSERT_EQ(buffer[i], expected) << "byte " << i;
    }
    EXPECT_EQ(sent(ORVA_REQUEST_CHALLENGE).at(0).response_capacity, (84 + c.capacity + 7) / 8 * 8);
}

INSTANTIATE_TEST_SUITE_P(Sessions, ChallengeTest, ::testing::ValuesIn(CHALLENGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionsTest, ChallengeLongerThanTheLoginBufferIsRefused) {
    answer_body(ORVA_REQUEST_CHALLENGE, concat({words({0xF1, 65}), bytes_t(65, 0x5A)}));
    challenge_t challenge;
    EXPECT_EQ(obtain_challenge(SESSION, FIRST_CONTAINER, challenge), RC_CHALLENGE_BUFFER_SIZE);
    EXPECT_EQ(challenge.length, 0u);

    answer_body(ORVA_REQUEST_CHALLENGE, concat({words({0xF1, 64}), bytes_t(64, 0x5A)}));
    ASSERT_EQ(obtain_challenge(SESSION, FIRST_CONTAINER, challenge), RC_OK);
    EXPECT_EQ(challenge.view().size(), 64u);
    EXPECT_EQ(challenge.first_word, 0xF1u);
}

}  // namespace
}  // namespace optest
