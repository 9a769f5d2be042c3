// Argument checks come first: a missing pointer, an unknown session or container, or a search
// step without a search is answered before anything is sent.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/codes.h"
#include "operations/objects.h"
#include "operations/sessions.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

struct argument_case_t {
    const char* name;
    std::function<std::uint32_t()> call;
    std::uint32_t expected;
};

void PrintTo(const argument_case_t& c, std::ostream* os) {
    *os << c.name;
}

std::uint32_t g_word = 0;
std::uint8_t g_bytes[64];
api_memory_block g_block{g_bytes, 8};
api_memory_block g_dangling{nullptr, 8};  // claims bytes but points nowhere
api_integer_block g_list{&g_word, 1};
api_integer_block g_dangling_list{nullptr, 1};

// clang-format off
const argument_case_t ARGUMENT_CASES[] = {
    {"open_session_without_output", [] { return open_session(nullptr, 0, FIRST_CONTAINER, nullptr, 0); },
     RC_POINTER_INVALID},
    {"open_session_unknown_container",
     [] { return open_session(nullptr, 0, UNKNOWN_CONTAINER, &g_word, 0); }, RC_SLOT_ID_INVALID},
    {"close_session_unknown", [] { return close_session(nullptr, UNKNOWN_SESSION); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"close_all_unknown_container", [] { return close_all_sessions(nullptr, UNKNOWN_CONTAINER, nullptr); },
     RC_SLOT_ID_INVALID},
    {"clean_access_unknown_container", [] { return clean_access(nullptr, UNKNOWN_CONTAINER); },
     RC_SLOT_ID_INVALID},
    {"close_application_id_unknown_container",
     [] { return close_application_id(nullptr, 0, UNKNOWN_CONTAINER); }, RC_SLOT_ID_INVALID},
    {"logout_unknown", [] { return logout(nullptr, UNKNOWN_SESSION); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"session_info_unknown",
     [] { return get_session_info(nullptr, UNKNOWN_SESSION, nullptr, nullptr, nullptr, nullptr, nullptr); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"challenge_without_block",
     [] { return request_challenge(nullptr, SESSION, FIRST_CONTAINER, 0, nullptr, nullptr); },
     RC_POINTER_INVALID},
    {"challenge_of_another_type",
     [] { return request_challenge(nullptr, SESSION, FIRST_CONTAINER, 1, nullptr, &g_block); },
     ORVA_RET_CHALLENGE_TYPE_INVALID},
    {"challenge_unknown_session",
     [] { return request_challenge(nullptr, UNKNOWN_SESSION, FIRST_CONTAINER, 0, nullptr, &g_block); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"challenge_container_of_another_partition",
     [] { return request_challenge(nullptr, SESSION, SECOND_CONTAINER, 0, nullptr, &g_block); },
     ORVA_RET_CONTAINER_HANDLE_INVALID},
    {"login_with_extra_flag",
     [] { return login(nullptr, SESSION, FIRST_CONTAINER, 1, &g_block, 0, true); },
     ORVA_RET_DATA_INVALID},
    {"login_unknown_session",
     [] { return login(nullptr, UNKNOWN_SESSION, FIRST_CONTAINER, 1, &g_block, 0, false); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"login_container_of_another_partition",
     [] { return login_exec(nullptr, SESSION, SECOND_CONTAINER, 1, &g_block, 7, false); },
     ORVA_RET_CONTAINER_HANDLE_INVALID},
    {"create_without_template", [] { return create_object(nullptr, SESSION, nullptr, 0, &g_word); },
     RC_POINTER_INVALID},
    {"create_with_dangling_template",
     [] { return create_object(nullptr, SESSION, &g_dangling, 0, &g_word); }, RC_POINTER_INVALID},
    {"create_unknown_session", [] { return create_object(nullptr, UNKNOWN_SESSION, &g_block, 0, &g_word); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"destroy_unknown_session", [] { return destroy_object(nullptr, UNKNOWN_SESSION, 1); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"destroy_multiple_without_list",
     [] { return destroy_multiple_objects(nullptr, SESSION, nullptr, &g_word); }, RC_POINTER_INVALID},
    {"destroy_multiple_dangling_list",
     [] { return destroy_multiple_objects(nullptr, SESSION, &g_dangling_list, &g_word); },
     RC_POINTER_INVALID},
    {"destroy_multiple_unknown_session",
     [] { return destroy_multiple_objects(nullptr, UNKNOWN_SESSION, &g_list, &g_word); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"copy_unknown_session", [] { return copy_object(nullptr, UNKNOWN_SESSION, 1, nullptr, &g_word); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"copy_with_dangling_template", [] { return copy_object(nullptr, SESSION, 1, &g_dangling, &g_word); },
     RC_POINTER_INVALID},
    {"object_size_unknown_session", [] { return get_object_size(nullptr, UNKNOWN_SESSION, 1, &g_word); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"attribute_size_unknown_session",
     [] { return get_attribute_size(nullptr, UNKNOWN_SESSION, 1, 2, &g_word); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"attribute_value_without_block",
     [] { return get_attribute_value(nullptr, SESSION, 1, 2, nullptr); }, RC_POINTER_INVALID},
    {"attribute_value_unknown_session",
     [] { return get_attribute_value(nullptr, UNKNOWN_SESSION, 1, 2, &g_block); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"set_attribute_unknown_session",
     [] { return set_attribute_value(nullptr, UNKNOWN_SESSION, 1, &g_block); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"find_init_unknown_session", [] { return find_objects_init(nullptr, UNKNOWN_SESSION, nullptr); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"find_init_dangling_template", [] { return find_objects_init(nullptr, SESSION, &g_dangling); },
     RC_POINTER_INVALID},
    {"find_update_without_output", [] { return find_objects_update(nullptr, SESSION, nullptr, 4); },
     RC_POINTER_INVALID},
    {"find_update_unknown_session",
     [] { return find_objects_update(nullptr, UNKNOWN_SESSION, &g_list, 4); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"find_update_without_search", [] { return find_objects_update(nullptr, SESSION, &g_list, 4); },
     RC_GENERAL_ERROR},
    {"find_final_unknown_session", [] { return find_objects_final(nullptr, UNKNOWN_SESSION); },
     ORVA_RET_SM_SESSION_HANDLE_INVALID},
    {"find_final_without_search", [] { return find_objects_final(nullptr, SESSION); },
     ORVA_RET_CONTEXT_INVALID},
    {"ouid_without_output", [] { return get_object_ouid(nullptr, FIRST_CONTAINER, 1, 2, nullptr); },
     RC_POINTER_INVALID},
    {"ouid_unknown_container", [] { return get_object_ouid(nullptr, UNKNOWN_CONTAINER, 1, 2, g_bytes); },
     RC_SLOT_ID_INVALID},
    {"handle_without_ouid",
     [] { return get_object_handle(nullptr, FIRST_CONTAINER, nullptr, &g_word, &g_word); },
     RC_POINTER_INVALID},
    {"handle_unknown_container",
     [] { return get_object_handle(nullptr, UNKNOWN_CONTAINER, g_bytes, &g_word, &g_word); },
     RC_SLOT_ID_INVALID},
};
// clang-format on

class ArgumentTest : public OperationsTest,
                     public ::testing::WithParamInterface<argument_case_t> {};

TEST_P(ArgumentTest, IsRefusedBeforeAnythingIsSent) {
    const auto& c = GetParam();
    EXPECT_EQ(c.call(), c.expected);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hsm_.opens(), 0);
}

INSTANTIATE_TEST_SUITE_P(Operations, ArgumentTest, ::testing::ValuesIn(ARGUMENT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace optest
