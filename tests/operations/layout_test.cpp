// Every command of the session and object operations, byte for byte: code, request size,
// response buffer, transport flags, the session the transport names, the command context and
// each body field at its offset.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "config/codes.h"
#include "operations/objects.h"
#include "operations/sessions.h"
#include "plugin/command.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

const app_id_t APP_ID = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7,
                         0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};
const bytes_t APP_ID_BYTES(APP_ID.begin(), APP_ID.end());
// Five template bytes, so that every size with a template is rounded up.
bytes_t g_template = {1, 2, 3, 4, 5};
api_memory_block g_template_block{g_template.data(), 5};

constexpr std::uint32_t OBJECT = 0x777;
constexpr std::uint32_t ATTRIBUTE = 0x102;
constexpr std::uint32_t NONE = 0;  // no open-context command before the real one

struct field_t {
    std::size_t offset;
    bytes_t bytes;
};

struct layout_case_t {
    const char* name;
    std::function<std::uint32_t()> call;
    std::uint32_t code;
    std::uint64_t partition;
    std::size_t request_size;
    std::size_t response_capacity;
    bool multipart;
    bool mutates;
    std::uint32_t cmd_session;
    std::uint32_t opener;  // the open-context command sent just before, or NONE
    std::vector<field_t> fields;
};

void PrintTo(const layout_case_t& c, std::ostream* os) {
    *os << c.name;
}

std::uint32_t start_search_then(std::function<std::uint32_t()> step) {
    if (std::uint32_t rc = find_objects_init(nullptr, SESSION, nullptr); rc != RC_OK) {
        return rc;
    }
    return step();
}

std::uint32_t g_word = 0;
std::uint32_t g_session_out = 0;
std::uint8_t g_value[10];
api_memory_block g_value_block{g_value, sizeof g_value};
std::uint8_t g_challenge[20];
api_memory_block g_challenge_block{g_challenge, sizeof g_challenge};
std::uint8_t g_ouid[OUID_SIZE];
api_integer_block g_found{nullptr, 0};

// clang-format off
const layout_case_t LAYOUT_CASES[] = {
    {"open_session", [] { return open_session(nullptr, 0xA5, FIRST_CONTAINER, &g_session_out, 0); },
     ORVA_OPEN_SESSION, FIRST, 216, 80, true, true, 1, ORVA_OPEN_CONTEXT_SESSIONLESS,
     {{172, u32_bytes(FIRST_CONTAINER)}, {196, APP_ID_BYTES}, {212, u32_bytes(0xA5)}}},
    {"close_session", [] { return close_session(nullptr, SESSION); },
     ORVA_CLOSE_SESSION, FIRST, 200, 80, true, true, SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(SESSION)}}},
    {"close_all_sessions", [] { return close_all_sessions(nullptr, SECOND_CONTAINER, nullptr); },
     ORVA_CLOSE_ALL_SESSIONS, SECOND, 216, 80, true, true, 1, ORVA_OPEN_CONTEXT_SESSIONLESS,
     {{172, u32_bytes(SECOND_CONTAINER)}, {196, APP_ID_BYTES}}},
    {"clean_access", [] { return clean_access(nullptr, SECOND_CONTAINER); },
     ORVA_CLEAN_ACCESS, SECOND, 192, 80, false, true, 0, NONE,
     {{172, u32_bytes(SECOND_CONTAINER)}, {176, APP_ID_BYTES}}},
    {"close_application_id", [] { return close_application_id(nullptr, 9, FIRST_CONTAINER); },
     ORVA_CLOSE_ACCESS, FIRST, 192, 80, false, true, 0, NONE,
     {{172, u32_bytes(FIRST_CONTAINER)}, {176, APP_ID_BYTES}}},
    {"logout", [] { return logout(nullptr, OTHER_SESSION); },
     ORVA_LOGOUT, SECOND, 200, 80, true, true, OTHER_SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(OTHER_SESSION)}}},
    {"get_session_info",
     [] { return get_session_info(nullptr, SESSION, nullptr, nullptr, nullptr, nullptr, nullptr); },
     ORVA_GET_SESSION_INFO, FIRST, 176, 112, false, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}}},
    {"request_challenge",
     [] { return request_challenge(nullptr, SESSION, FIRST_CONTAINER, 0, &g_word, &g_challenge_block); },
     ORVA_REQUEST_CHALLENGE, FIRST, 184, 104, true, true, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, u32_bytes(0)}}},
    {"create_object", [] { return create_object(nullptr, SESSION, &g_template_block, 0xCAFE, nullptr); },
     ORVA_CREATE_OBJECT, FIRST, 208, 80, true, true, SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(SESSION)}, {196, g_template}, {201, u32_bytes(0xCAFE)}}},
    {"destroy_object", [] { return destroy_object(nullptr, SESSION, OBJECT); },
     ORVA_DESTROY_OBJECT, FIRST, 200, 80, true, true, SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(SESSION)}, {196, u32_bytes(OBJECT)}}},
    {"copy_object", [] { return copy_object(nullptr, SESSION, OBJECT, &g_template_block, nullptr); },
     ORVA_COPY_OBJECT, FIRST, 208, 80, true, true, SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(SESSION)}, {196, u32_bytes(OBJECT)}, {200, g_template}}},
    {"copy_object_without_template", [] { return copy_object(nullptr, SESSION, OBJECT, nullptr, nullptr); },
     ORVA_COPY_OBJECT, FIRST, 200, 80, true, true, SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(SESSION)}, {196, u32_bytes(OBJECT)}}},
    {"set_attribute_value", [] { return set_attribute_value(nullptr, OTHER_SESSION, OBJECT, &g_template_block); },
     ORVA_MODIFY_OBJECT, SECOND, 208, 80, true, true, OTHER_SESSION, ORVA_OPEN_CONTEXT_SESSION,
     {{172, u32_bytes(OTHER_SESSION)}, {196, u32_bytes(OBJECT)}, {200, g_template}}},
    {"get_object_size", [] { return get_object_size(nullptr, SESSION, OBJECT, &g_word); },
     ORVA_GET_OBJECT_SIZE, FIRST, 184, 80, false, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, u32_bytes(OBJECT)}, {180, u32_bytes(0)}}},
    {"get_attribute_size", [] { return get_attribute_size(nullptr, SESSION, OBJECT, ATTRIBUTE, &g_word); },
     ORVA_GET_ATTRIBUTE_SIZE, FIRST, 184, 80, false, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, u32_bytes(OBJECT)}, {180, u32_bytes(ATTRIBUTE)}}},
    {"get_attribute_value",
     [] { return get_attribute_value(nullptr, SESSION, OBJECT, ATTRIBUTE, &g_value_block); },
     ORVA_GET_ATTRIBUTE_VALUE, FIRST, 184, 96, false, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, u32_bytes(OBJECT)}, {180, u32_bytes(ATTRIBUTE)}}},
    {"find_objects_init", [] { return find_objects_init(nullptr, SESSION, &g_template_block); },
     ORVA_FIND_OBJECTS_INIT, FIRST, 184, 96, true, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, g_template}}},
    {"find_objects_init_without_template", [] { return find_objects_init(nullptr, SESSION, nullptr); },
     ORVA_FIND_OBJECTS_INIT, FIRST, 176, 96, true, false, SESSION, NONE, {{172, u32_bytes(SESSION)}}},
    {"find_objects_update",
     [] { return start_search_then([] { return find_objects_update(nullptr, SESSION, &g_found, 3); }); },
     ORVA_FIND_OBJECTS_UPDATE, FIRST, 208, 96, true, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, search_id()}, {192, u64_bytes(0)}, {200, u32_bytes(3)}}},
    {"find_objects_final",
     [] { return start_search_then([] { return find_objects_final(nullptr, SESSION); }); },
     ORVA_FIND_OBJECTS_FINAL, FIRST, 200, 80, true, false, SESSION, NONE,
     {{172, u32_bytes(SESSION)}, {176, search_id()}, {192, u64_bytes(0)}}},
    {"get_object_ouid", [] { return get_object_ouid(nullptr, SECOND_CONTAINER, 7, 9, g_ouid); },
     ORVA_GET_OUID, SECOND, 184, 88, false, false, 0, NONE,
     {{172, u32_bytes(SECOND_CONTAINER)}, {176, u32_bytes(7)}, {180, u32_bytes(9)}}},
};
// clang-format on

class LayoutTest : public OperationsTest, public ::testing::WithParamInterface<layout_case_t> {
  protected:
    void SetUp() override {
        OperationsTest::SetUp();
        set_app_id(APP_ID);
    }
};

TEST_P(LayoutTest, SendsTheCommandExactlyAsLaidOut) {
    const auto& c = GetParam();
    ASSERT_EQ(c.call(), RC_OK);

    const auto all = sent();
    ASSERT_FALSE(all.empty());
    const sent_t& cmd = all.back();
    EXPECT_EQ(cmd.code, c.code);
    EXPECT_EQ(cmd.partition, c.partition);
    EXPECT_EQ(cmd.request_size(), c.request_size);
    EXPECT_EQ(cmd.response_capacity, c.response_capacity);
    EXPECT_EQ(cmd.multipart, c.multipart);
    EXPECT_EQ(cmd.mutates, c.mutates);
    EXPECT_EQ(cmd.session, c.cmd_session);
    // The header: code, protocol level, application id, three zero words.
    EXPECT_EQ(cmd.at(136, 4), u32_bytes(c.code));
    EXPECT_EQ(cmd.at(140, 4), u32_bytes(23));
    EXPECT_EQ(cmd.at(144, 16), APP_ID_BYTES);
    EXPECT_EQ(cmd.at(160, 12), bytes_t(12, 0));

    bytes_t expected(c.request_size, 0);
    std::copy(cmd.command.begin(), cmd.command.begin() + 36, expected.begin() + COMMAND_HEADER);
    if (c.opener != NONE) {
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all[all.size() - 2].code, c.opener);
        EXPECT_EQ(all[all.size() - 2].partition, c.partition);
        std::copy(context_reply().begin(), context_reply().end(), expected.begin() + 176);
    }
    for (const auto& field : c.fields) {
        ASSERT_LE(field.offset + field.bytes.size(), expected.size()) << field.offset;
        std::copy(field.bytes.begin(), field.bytes.end(), expected.begin() + field.offset);
    }
    // Every byte not named above is zero.
    EXPECT_EQ(cmd.command, bytes_t(expected.begin() + COMMAND_HEADER, expected.end()));
}

INSTANTIATE_TEST_SUITE_P(Operations, LayoutTest, ::testing::ValuesIn(LAYOUT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace optest
