#include "config/code_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "config/codes.h"

namespace {

constexpr std::uint32_t MAX_CODE = std::numeric_limits<std::uint32_t>::max();

// A named constant, the number it must have, and the name its lookup must give back.
struct named_code_t {
    std::uint32_t constant;
    std::uint32_t expected_value;
    const char* name;
};

std::string result_name(std::uint32_t value) {
    return ResultCode(value).AsString();
}

TEST(CodeNameTables, HoldEveryNameOfEachTable) {
    EXPECT_EQ(command_names().size(), 261u);
    EXPECT_EQ(item_names().size(), 68u);
    EXPECT_EQ(result_names().size(), 546u);
}

// Binary search silently misses entries of a table that is out of order or repeats a value.
TEST(CodeNameTables, AreStrictlyAscendingWithNamedRows) {
    for (auto table : {command_names(), item_names(), result_names()}) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            ASSERT_NE(table[i].name, nullptr) << i;
            EXPECT_FALSE(std::string_view(table[i].name).empty()) << i;
            if (i > 0) {
                EXPECT_LT(table[i - 1].value, table[i].value) << table[i].name;
            }
        }
    }
}

TEST(CodeNameTables, NamesCarryTheirTablesPrefix) {
    for (const auto& row : command_names()) {
        const std::string_view name(row.name);
        EXPECT_TRUE(name.starts_with("ORVA_") && !name.starts_with("ORVA_GT_") &&
                    !name.starts_with("ORVA_RET_"))
            << name;
    }
    for (const auto& row : item_names()) {
        EXPECT_TRUE(std::string_view(row.name).starts_with("ORVA_GT_")) << row.name;
    }
    int others = 0;
    for (const auto& row : result_names()) {
        const std::string_view name(row.name);
        others += !(name.starts_with("ORVA_RET_") || name.starts_with("RC_"));
    }
    EXPECT_EQ(others, 4);
}

// Every row must be reachable, and the number just above it must not borrow its name.
TEST(CodeNameLookup, FindsEveryRowAndNothingInTheGapAfterIt) {
    const auto check = [](std::span<const code_name_t> table, auto lookup, std::string unknown) {
        for (std::size_t i = 0; i < table.size(); ++i) {
            EXPECT_EQ(lookup(table[i].value), table[i].name);
            const std::uint32_t next = table[i].value + 1;
            if (next != 0 && (i + 1 == table.size() || table[i + 1].value != next)) {
                EXPECT_EQ(lookup(next), unknown) << table[i].name << " + 1";
            }
        }
    };
    check(command_names(), cmd_code_to_str, "UNKNOWN");
    check(item_names(), cmd_subcode_to_str, "UNKNOWN");
    check(result_names(), result_name, "Unknown ResultCode value");
}

TEST(CommandCodeName, NamesListedCodesAndUnknownOtherwise) {
    EXPECT_EQ(cmd_code_to_str(0x00), "ORVA_ZEROIZE");
    EXPECT_EQ(cmd_code_to_str(0x02), "ORVA_GET");
    EXPECT_EQ(cmd_code_to_str(0x10C), "ORVA_GET_PEC");
    for (std::uint32_t code : {0x7Au, 0x7Fu, 0x100u, 0x101u, 0x10Du, 0x10000u, MAX_CODE}) {
        EXPECT_EQ(cmd_code_to_str(code), "UNKNOWN") << std::hex << code;
    }
}

TEST(ItemCodeName, NamesListedItemsAndUnknownOtherwise) {
    EXPECT_EQ(cmd_subcode_to_str(0x00), "ORVA_GT_LABEL");
    EXPECT_EQ(cmd_subcode_to_str(0xDD), "ORVA_GT_XM_FWV");
    for (std::uint32_t item : {0x2Cu, 0x3Eu, 0x4Fu, 0x59u, 0xDCu, 0xDEu, 0x1DDu, MAX_CODE}) {
        EXPECT_EQ(cmd_subcode_to_str(item), "UNKNOWN") << std::hex << item;
    }
}

TEST(ResultCodeName, NamesListedCodesAndFallsBackForOthers) {
    EXPECT_STREQ(ResultCode(0).AsString(), "RC_OK");
    EXPECT_STREQ(ResultCode(0xC000B000).AsString(), "RC_BUSY");
    EXPECT_STREQ(ResultCode(0x80001600).AsString(), "ORVA_RET_XTC_ERROR");
    EXPECT_STREQ(ResultCode(0x80001601).AsString(), "ORVA_RET_CONTEXT_INVALID");
    for (std::uint32_t code : {1u, 0xA00001u, 0x80001602u, 0xC000B003u, MAX_CODE}) {
        EXPECT_STREQ(ResultCode(code).AsString(), "Unknown ResultCode value") << std::hex << code;
    }
    static_assert(ResultCode(0xC000B002).value() == 0xC000B002);
}

// Each constant is checked against the number written out, so a shifted constant or a name
// attached to the wrong row shows up here and not in a log line.
const named_code_t COMMAND_SPOTS[] = {
    {ORVA_ZEROIZE, 0x00, "ORVA_ZEROIZE"},
    {ORVA_INIT_TOKEN, 0x01, "ORVA_INIT_TOKEN"},
    {ORVA_GET, 0x02, "ORVA_GET"},
    {ORVA_FIND_OBJECTS, 0x16, "ORVA_FIND_OBJECTS"},
    {ORVA_CLOSE_ALL_SESSIONS, 0x25, "ORVA_CLOSE_ALL_SESSIONS"},
    {ORVA_VERIFY_INIT_W_VALUE, 0x4A, "ORVA_VERIFY_INIT_W_VALUE"},
    {ORVA_ENCRYPT_SINGLEPART, 0x6F, "ORVA_ENCRYPT_SINGLEPART"},
    {ORVA_SET_CONTAINER_POLICY, 0x73, "ORVA_SET_CONTAINER_POLICY"},
    {ORVA_REMOTE_AUTH_GENERATE, 0x9B, "ORVA_REMOTE_AUTH_GENERATE"},
    {ORVA_DESTROY_MULTIPLE_OBJECTS, 0xC0, "ORVA_DESTROY_MULTIPLE_OBJECTS"},
    {ORVA_STC_GET_CLIENT_REGISTRATIONS, 0xE5, "ORVA_STC_GET_CLIENT_REGISTRATIONS"},
    {ORVA_VALIDATE_CONTAINER_POLICY_SET, 0xFF, "ORVA_VALIDATE_CONTAINER_POLICY_SET"},
    {ORVA_XTC_REQ_V1, 0x102, "ORVA_XTC_REQ_V1"},
    {ORVA_GEN_APPID, 0x108, "ORVA_GEN_APPID"},
    {ORVA_APP_SESSIONS_KEEPALIVE, 0x109, "ORVA_APP_SESSIONS_KEEPALIVE"},
    {ORVA_OPEN_CONTEXT_SESSION, 0x10A, "ORVA_OPEN_CONTEXT_SESSION"},
    {ORVA_OPEN_CONTEXT_SESSIONLESS, 0x10B, "ORVA_OPEN_CONTEXT_SESSIONLESS"},
    {ORVA_GET_PEC, 0x10C, "ORVA_GET_PEC"},
};

const named_code_t ITEM_SPOTS[] = {
    {ORVA_GT_LABEL, 0x00, "ORVA_GT_LABEL"},
    {ORVA_GT_MFG, 0x01, "ORVA_GT_MFG"},
    {ORVA_GT_TPC, 0x09, "ORVA_GT_TPC"},
    {ORVA_GT_EXTENDED_TPV, 0x13, "ORVA_GT_EXTENDED_TPV"},
    {ORVA_GT_HARDWARE_PLATFORM, 0x1D, "ORVA_GT_HARDWARE_PLATFORM"},
    {ORVA_GT_HOC, 0x26, "ORVA_GT_HOC"},
    {ORVA_GT_HSM_SN, 0x2B, "ORVA_GT_HSM_SN"},
    {ORVA_GT_SP_RAWREAD, 0x30, "ORVA_GT_SP_RAWREAD"},
    {ORVA_GT_TWC3, 0x34, "ORVA_GT_TWC3"},
    {ORVA_GT_TEMP_K2, 0x3D, "ORVA_GT_TEMP_K2"},
    {ORVA_GT_RTC_TEMP, 0x50, "ORVA_GT_RTC_TEMP"},
    {ORVA_GT_PEC, 0x58, "ORVA_GT_PEC"},
    {ORVA_GT_XM_FWV, 0xDD, "ORVA_GT_XM_FWV"},
};

const named_code_t RESULT_SPOTS[] = {
    {RC_OK, 0x0, "RC_OK"},
    {ORVA_RET_CANCEL, 0x10000, "ORVA_RET_CANCEL"},
    {ORVA_RET_NOT_READY, 0x300020, "ORVA_RET_NOT_READY"},
    {ORVA_RET_KEY_UNEXTRACTABLE, 0x6A0000, "ORVA_RET_KEY_UNEXTRACTABLE"},
    {ORVA_RET_UM_PIN_INCORRECT, 0xA00000, "ORVA_RET_UM_PIN_INCORRECT"},
    {ORVA_RET_UM_PIN_INCORRECT_CONTAINER_LOCKED, 0xA00002,
     "ORVA_RET_UM_PIN_INCORRECT_CONTAINER_LOCKED"},
    {ORVA_RET_SM_SESSION_HANDLE_INVALID, 0xB30000, "ORVA_RET_SM_SESSION_HANDLE_INVALID"},
    {ORVA_RET_ERROR, 0x80000000, "ORVA_RET_ERROR"},
    {ORVA_RET_DAK_MISSING, 0x80000117, "ORVA_RET_DAK_MISSING"},
    {ORVA2_RET_HIFN_RESET_ERROR, 0x8000050C, "ORVA2_RET_HIFN_RESET_ERROR"},
    {ORVA_RET_HIFN_DMA_NOT_IDLE, 0x8000050D, "ORVA_RET_HIFN_DMA_NOT_IDLE"},
    {ORVA_HIFN_UNKNOWN_ALGORITHM, 0x8000050F, "ORVA_HIFN_UNKNOWN_ALGORITHM"},
    {ORVA_INVALID_PACKET_LAYOUT, 0x80000510, "ORVA_INVALID_PACKET_LAYOUT"},
    {ORVA_RET_LOG_RESYNC_NEEDED, 0x80000D08, "ORVA_RET_LOG_RESYNC_NEEDED"},
    {ORVA_RET_XTC_ERROR, 0x80001600, "ORVA_RET_XTC_ERROR"},
    {ORVA_RET_CONTEXT_INVALID, 0x80001601, "ORVA_RET_CONTEXT_INVALID"},
    {RC_RC_ERROR, 0xC0000000, "RC_RC_ERROR"},
    {RC_POINTER_INVALID, 0xC0000003, "RC_POINTER_INVALID"},
    {RC_SLOT_ID_INVALID, 0xC0000101, "RC_SLOT_ID_INVALID"},
    {RC_SSL_ERROR, 0xC0000700, "RC_SSL_ERROR"},
    {RC_BUSY, 0xC000B000, "RC_BUSY"},
    {XM_OPERATION_TIMED_OUT, 0xC000B001, "XM_OPERATION_TIMED_OUT"},
    {RC_RETRY, 0xC000B002, "RC_RETRY"},
};

class CommandSpot : public ::testing::TestWithParam<named_code_t> {};
class ItemSpot : public ::testing::TestWithParam<named_code_t> {};
class ResultSpot : public ::testing::TestWithParam<named_code_t> {};

TEST_P(CommandSpot, ConstantAndNameAgree) {
    EXPECT_EQ(GetParam().constant, GetParam().expected_value);
    EXPECT_EQ(cmd_code_to_str(GetParam().constant), GetParam().name);
}

TEST_P(ItemSpot, ConstantAndNameAgree) {
    EXPECT_EQ(GetParam().constant, GetParam().expected_value);
    EXPECT_EQ(cmd_subcode_to_str(GetParam().constant), GetParam().name);
}

TEST_P(ResultSpot, ConstantAndNameAgree) {
    EXPECT_EQ(GetParam().constant, GetParam().expected_value);
    EXPECT_STREQ(ResultCode(GetParam().constant).AsString(), GetParam().name);
}

std::string spot_name(const ::testing::TestParamInfo<named_code_t>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandSpot, ::testing::ValuesIn(COMMAND_SPOTS), spot_name);
INSTANTIATE_TEST_SUITE_P(Items, ItemSpot, ::testing::ValuesIn(ITEM_SPOTS), spot_name);
INSTANTIATE_TEST_SUITE_P(Results, ResultSpot, ::testing::ValuesIn(RESULT_SPOTS), spot_name);

}  // namespace
