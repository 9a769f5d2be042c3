// Object operations against the scripted partition: destroying lists, attribute values and
// their word rules, searches and their sequence numbers, and handles from unique ids.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <thread>

#include "config/codes.h"
#include "operations/objects.h"
#include "plugin/session_maps.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

constexpr std::uint32_t HARD_FAILURE = 0x50000;
constexpr std::uint32_t GONE = 0x0B;    // the scripted partition no longer has this object
constexpr std::uint32_t BROKEN = 0x0F;  // destroying this object fails hard

class ObjectsTest : public OperationsTest {
  protected:
    std::vector<std::uint32_t> destroyed() const {
        std::vector<std::uint32_t> objects;
        for (const auto& cmd : sent(ORVA_DESTROY_OBJECT)) {
            objects.push_back(cmd.at(196, 4)[0]);
        }
        return objects;
    }
};

struct destroy_case_t {
    const char* name;
    std::vector<std::uint32_t> objects;
    std::uint32_t expected;
    std::uint32_t done;
    std::vector<std::uint32_t> attempted;
};

void PrintTo(const destroy_case_t& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const destroy_case_t DESTROY_CASES[] = {
    {"already_gone_counts_as_destroyed", {0x0A, GONE, 0x0C}, RC_OK, 3, {0x0A, GONE, 0x0C}},
    {"hard_failure_stops_at_its_index", {0x0A, BROKEN, 0x0C}, HARD_FAILURE, 1, {0x0A, BROKEN}},
    {"empty_list", {}, RC_OK, 0, {}},
};
// clang-format on

class DestroyMultipleTest : public ObjectsTest,
                            public ::testing::WithParamInterface<destroy_case_t> {};

TEST_P(DestroyMultipleTest, ReportsWhereTheLoopStopped) {
    const auto& c = GetParam();
    answer(ORVA_DESTROY_OBJECT, [](const fake::received_t& r) {
        const std::uint8_t object = r.command[196 - COMMAND_HEADER];
        if (object == GONE) {
            return fake::result(ORVA_RET_OBJECT_HANDLE_INVALID);
        }
        return fake::result(object == BROKEN ? HARD_FAILURE : RC_OK);
    });
    std::vector<std::uint32_t> objects = c.objects;
    api_integer_block list{objects.data(), static_cast<std::uint32_t>(objects.size())};
    std::uint32_t done = 0xFFFF;

    EXPECT_EQ(destroy_multiple_objects(nullptr, SESSION, &list, &done), c.expected);
    EXPECT_EQ(done, c.done);
    EXPECT_EQ(destroyed(), c.attempted);
}

INSTANTIATE_TEST_SUITE_P(Objects, DestroyMultipleTest, ::testing::ValuesIn(DESTROY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

struct attribute_case_t {
    const char* name;
    std::uint32_t type;
    std::uint32_t kind;
    bytes_t value;          // the value the reply carries
    std::uint32_t claimed;  // the length the reply claims
    std::uint32_t capacity;
    bool with_data;
    std::uint32_t expected;
    std::uint32_t length_out;
    bytes_t written;  // what the host buffer holds afterwards (capacity bytes)
};

void PrintTo(const attribute_case_t& c, std::ostream* os) {
    *os << c.name;
}

constexpr std::uint32_t PLAIN = 0x11;
constexpr std::uint32_t REVERSED_A = 0x80001101;
constexpr std::uint32_t REVERSED_B = 0x80001102;
const bytes_t EMPTY6(6, 0xCC);

// clang-format off
const attribute_case_t ATTRIBUTE_CASES[] = {
    {"plain_value", PLAIN, 0, {1, 2, 3, 4, 5}, 5, 6, true, RC_OK, 5, {1, 2, 3, 4, 5, 0xCC}},
    {"reversed_type_a", REVERSED_A, 0, {1, 2, 3, 4}, 4, 6, true, RC_OK, 4, {4, 3, 2, 1, 0xCC, 0xCC}},
    {"reversed_type_b", REVERSED_B, 0, {1, 2, 3, 4}, 4, 6, true, RC_OK, 4, {4, 3, 2, 1, 0xCC, 0xCC}},
    {"reversed_type_not_a_word", REVERSED_A, 0, {1, 2}, 2, 6, true, RC_DATA_INVALID, 2,
     {1, 2, 0xCC, 0xCC, 0xCC, 0xCC}},
    {"word_kind_is_not_reversed", PLAIN, 1, {1, 2, 3, 4}, 4, 6, true, RC_OK, 4,
     {1, 2, 3, 4, 0xCC, 0xCC}},
    {"word_kind_wins_over_reversed_type", REVERSED_A, 1, {1, 2, 3, 4}, 4, 6, true, RC_OK, 4,
     {1, 2, 3, 4, 0xCC, 0xCC}},
    {"word_kind_not_a_word", PLAIN, 1, {1, 2, 3, 4, 5}, 5, 6, true, RC_DATA_INVALID, 5,
     {1, 2, 3, 4, 5, 0xCC}},
    {"length_only", PLAIN, 0, {1, 2, 3, 4, 5}, 5, 6, false, RC_OK, 5, EMPTY6},
    {"length_only_of_reversed_type", REVERSED_A, 0, {1, 2, 3, 4}, 4, 6, false, RC_OK, 4, EMPTY6},
    {"value_longer_than_the_buffer", PLAIN, 0, {1, 2, 3, 4, 5, 6, 7}, 7, 6, true,
     ORVA_RET_BUFFER_TOO_SMALL, 7, EMPTY6},
    {"claims_more_than_the_reply_holds", PLAIN, 0, {1, 2}, 6, 6, true, RC_BUFFER_TOO_SMALL, 6,
     EMPTY6},
};
// clang-format on

class AttributeValueTest : public ObjectsTest,
                           public ::testing::WithParamInterface<attribute_case_t> {};

TEST_P(AttributeValueTest, CopiesChecksAndReversesAsTheKindAndTypeSay) {
    const auto& c = GetParam();
    answer_body(ORVA_GET_ATTRIBUTE_VALUE, concat({words({c.claimed, c.kind}), c.value}));
    bytes_t buffer(c.capacity + 8, 0xCC);  // 8 guard bytes behind the capacity
    api_memory_block value{c.with_data ? buffer.data() : nullptr, c.capacity};

    EXPECT_EQ(get_attribute_value(nullptr, SESSION, 0x21, c.type, &value), c.expected);
    EXPECT_EQ(value.length, c.length_out);
    EXPECT_EQ(bytes_t(buffer.begin(), buffer.begin() + c.capacity), c.written);
    EXPECT_EQ(bytes_t(buffer.begin() + c.capacity, buffer.end()), bytes_t(8, 0xCC));
}

INSTANTIATE_TEST_SUITE_P(Objects, AttributeValueTest, ::testing::ValuesIn(ATTRIBUTE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ObjectsTest, SearchStepsCarryTheContextAndSequenceNumbersZeroOneTwo) {
    ASSERT_EQ(find_objects_init(nullptr, SESSION, nullptr), RC_OK);
    api_integer_block found{nullptr, 0};
    ASSERT_EQ(find_objects_update(nullptr, SESSION, &found, 4), RC_OK);
    ASSERT_EQ(find_objects_update(nullptr, SESSION, &found, 4), RC_OK);
    ASSERT_EQ(find_objects_final(nullptr, SESSION), RC_OK);

    std::vector<bytes_t> sequences;
    for (const auto& cmd : sent()) {
        if (cmd.code == ORVA_FIND_OBJECTS_UPDATE || cmd.code == ORVA_FIND_OBJECTS_FINAL) {
            EXPECT_EQ(cmd.at(176, 16), search_id());
            sequences.push_back(cmd.at(192, 8));
        }
    }
    EXPECT_EQ(sequences, (std::vector<bytes_t>{u64_bytes(0), u64_bytes(1), u64_bytes(2)}));
    // The entry outlives the final step; a new search starts again at 0.
    ASSERT_TRUE(s_find_objects_context_map.find(SESSION).has_value());
    EXPECT_EQ(s_find_objects_context_map.find(SESSION)->sequence, 3u);
    ASSERT_EQ(find_objects_init(nullptr, SESSION, nullptr), RC_OK);
    EXPECT_EQ(s_find_objects_context_map.find(SESSION)->sequence, 0u);
}

TEST_F(ObjectsTest, ConcurrentSearchStepsOfOneSessionTakeDistinctSequenceNumbers) {
    constexpr int THREADS = 8;
    constexpr int STEPS = 10;
    ASSERT_EQ(find_objects_init(nullptr, SESSION, nullptr), RC_OK);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < STEPS; ++i) {
                api_integer_block found{nullptr, 0};
                EXPECT_EQ(find_objects_update(nullptr, SESSION, &found, 0), RC_OK);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<std::uint64_t> sequences;
    for (const auto& r : hsm_.received()) {
        if (r.code == ORVA_FIND_OBJECTS_UPDATE) {
            const sent_t step{r.code, 0, false, false, 0, 0, r.command};
            std::uint64_t sequence = 0;
            for (int i = 7; i >= 0; --i) {
                sequence = (sequence << 8) | step.at(192, 8)[i];
            }
            sequences.push_back(sequence);
        }
    }
    std::sort(sequences.begin(), sequences.end());
    std::vector<std::uint64_t> expected(THREADS * STEPS);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(sequences, expected);
}

TEST_F(ObjectsTest, FailedSearchInitLeavesNoSearch) {
    answer_result(ORVA_FIND_OBJECTS_INIT, HARD_FAILURE);
    EXPECT_EQ(find_objects_init(nullptr, SESSION, nullptr), HARD_FAILURE);
    EXPECT_FALSE(s_find_objects_context_map.find(SESSION).has_value());
}

struct update_case_t {
    const char* name;
    bytes_t reply;
    std::uint32_t max_count;
    std::uint32_t expected;
    std::vector<std::uint32_t> handles;
};

void PrintTo(const update_case_t& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const update_case_t UPDATE_CASES[] = {
    {"handles", words({3, 0x31, 0x32, 0x33}), 4, RC_OK, {0x31, 0x32, 0x33}},
    {"none", words({0}), 4, RC_OK, {}},
    {"unknown_count", words({0xFFFFFFFF}), 4, ORVA_RET_DATA_LEN_RANGE, {}},
    {"more_than_asked_for", words({2, 0x31, 0x32}), 1, ORVA_RET_BUFFER_TOO_SMALL, {}},
    {"count_beyond_the_reply", words({3, 0x31}), 4, RC_BUFFER_TOO_SMALL, {}},
    {"no_count", bytes_t{1, 2}, 4, RC_BUFFER_TOO_SMALL, {}},
};
// clang-format on

class FindUpdateTest : public ObjectsTest, public ::testing::WithParamInterface<update_case_t> {};

TEST_P(FindUpdateTest, ReadsNoHandleBeyondTheReplyOrTheRequest) {
    const auto& c = GetParam();
    ASSERT_EQ(find_objects_init(nullptr, SESSION, nullptr), RC_OK);
    answer_body(ORVA_FIND_OBJECTS_UPDATE, c.reply);
    std::uint32_t marker = 0;
    api_integer_block found{&marker, 77};

    EXPECT_EQ(find_objects_update(nullptr, SESSION, &found, c.max_count), c.expected);
    if (c.expected != RC_OK) {
        EXPECT_EQ(found.data, &marker);  // untouched
        EXPECT_EQ(found.count, 77u);
        return;
    }
    std::unique_ptr<std::uint32_t, decltype(&std::free)> owned(found.data, std::free);
    EXPECT_EQ(std::vector<std::uint32_t>(found.data, found.data + found.count), c.handles);
}

INSTANTIATE_TEST_SUITE_P(Objects, FindUpdateTest, ::testing::ValuesIn(UPDATE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

const bytes_t OUID = {0x0D, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x0E};

TEST_F(ObjectsTest, ObjectUniqueIdIsCopiedFromTheReply) {
    answer_body(ORVA_GET_OUID, OUID);
    bytes_t out(OUID_SIZE + 4, 0xCC);
    ASSERT_EQ(get_object_ouid(nullptr, FIRST_CONTAINER, 1, 2, out.data()), RC_OK);
    EXPECT_EQ(out, concat({OUID, bytes_t(4, 0xCC)}));

    answer_body(ORVA_GET_OUID, bytes_t(11, 0));
    EXPECT_EQ(get_object_ouid(nullptr, FIRST_CONTAINER, 1, 2, out.data()), RC_BUFFER_TOO_SMALL);
}

TEST_F(ObjectsTest, NewHandlesOfCreateAndCopyReachTheHost) {
    answer_body(ORVA_CREATE_OBJECT, words({0x4001}));
    answer_body(ORVA_COPY_OBJECT, words({0x4002}));
    bytes_t tmpl = {9, 9, 9, 9};
    api_memory_block block{tmpl.data(), 4};
    std::uint32_t created = 0, copied = 0;
    ASSERT_EQ(create_object(nullptr, SESSION, &block, 0, &created), RC_OK);
    ASSERT_EQ(copy_object(nullptr, SESSION, created, nullptr, &copied), RC_OK);
    EXPECT_EQ(created, 0x4001u);
    EXPECT_EQ(copied, 0x4002u);
}

struct handle_case_t {
    const char* name;
    bytes_t update_reply;
    std::uint32_t found;
    std::uint32_t handle;
};

void PrintTo(const handle_case_t& c, std::ostream* os) {
    *os << c.name;
}

// clang-format off
const handle_case_t HANDLE_CASES[] = {
    {"found", words({1, 0x5150}), 1, 0x5150},
    {"not_found", words({0}), 0, 0},
};
// clang-format on

class ObjectHandleTest : public ObjectsTest, public ::testing::WithParamInterface<handle_case_t> {};

TEST_P(ObjectHandleTest, SearchesInASessionOfItsOwnAndClosesIt) {
    const auto& c = GetParam();
    answer_body(ORVA_FIND_OBJECTS_UPDATE, c.update_reply);
    std::uint32_t found = 9, handle = 9;

    ASSERT_EQ(get_object_handle(nullptr, SECOND_CONTAINER, OUID.data(), &found, &handle), RC_OK);
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(handle, c.handle);
    EXPECT_EQ(sent_codes(),
              (std::vector<std::uint32_t>{ORVA_OPEN_CONTEXT_SESSIONLESS, ORVA_OPEN_SESSION,
                                          ORVA_FIND_OBJECTS_INIT, ORVA_FIND_OBJECTS_UPDATE,
                                          ORVA_FIND_OBJECTS_FINAL, ORVA_OPEN_CONTEXT_SESSION,
                                          ORVA_CLOSE_SESSION}));
    const auto init = sent(ORVA_FIND_OBJECTS_INIT).at(0);
    EXPECT_EQ(init.at(172, 4), u32_bytes(FIRST_NEW_SESSION));
    EXPECT_EQ(init.at(176, 28), concat({words({12, 1, 0x80000005, 12}), OUID}));
    EXPECT_EQ(sent(ORVA_FIND_OBJECTS_UPDATE).at(0).at(200, 4), u32_bytes(1));
    EXPECT_EQ(sent(ORVA_CLOSE_SESSION).at(0).at(172, 4), u32_bytes(FIRST_NEW_SESSION));
    // Nothing of the temporary session is left behind.
    EXPECT_EQ(session_to_partition(FIRST_NEW_SESSION), 0u);
    EXPECT_FALSE(s_find_objects_context_map.find(FIRST_NEW_SESSION).has_value());
}

INSTANTIATE_TEST_SUITE_P(Objects, ObjectHandleTest, ::testing::ValuesIn(HANDLE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ObjectsTest, HandleSearchFailuresStillCloseTheSession) {
    answer_result(ORVA_FIND_OBJECTS_INIT, HARD_FAILURE);
    std::uint32_t found = 9;
    EXPECT_EQ(get_object_handle(nullptr, FIRST_CONTAINER, OUID.data(), &found, nullptr),
              HARD_FAILURE);
    EXPECT_EQ(found, 9u);
    EXPECT_EQ(sent_codes(),
              (std::vector<std::uint32_t>{ORVA_OPEN_CONTEXT_SESSIONLESS, ORVA_OPEN_SESSION,
                                          ORVA_FIND_OBJECTS_INIT, ORVA_OPEN_CONTEXT_SESSION,
                                          ORVA_CLOSE_SESSION}));
    EXPECT_EQ(session_to_partition(FIRST_NEW_SESSION), 0u);

    // A failed update is the result even though final and close succeed.
    forget_sent();
    answer(ORVA_FIND_OBJECTS_INIT,
           [](const fake::received_t&) { return fake::with_body(search_id()); });
    answer_result(ORVA_FIND_OBJECTS_UPDATE, HARD_FAILURE);
    EXPECT_EQ(get_object_handle(nullptr, FIRST_CONTAINER, OUID.data(), &found, nullptr),
              HARD_FAILURE);
    EXPECT_EQ(sent(ORVA_FIND_OBJECTS_FINAL).size(), 1u);
    EXPECT_EQ(sent(ORVA_CLOSE_SESSION).size(), 1u);
    EXPECT_EQ(s_session_partition_map.size(), 2u);  // only the fixture's sessions
}

}  // namespace
}  // namespace optest
