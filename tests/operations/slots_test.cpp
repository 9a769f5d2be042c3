// The host's table: which slots the session and object families fill, that they run behind the
// boundary, and that the shared library hands them to the host.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "config/codes.h"
#include "operations/slots.h"
#include "plugin/plugin_api.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

const std::set<std::size_t> OPERATION_SLOTS = {8,  21, 57, 58, 59, 60, 61, 62, 63,  64,  65, 66,
                                               67, 68, 69, 70, 71, 72, 73, 74, 122, 123, 124};

void marker() {}

TEST(OperationSlots, FillExactlyTheirSlotsAndLeaveTheOthersAlone) {
    slot_table_t slots{};
    slots[0] = &marker;
    fill_operation_slots(slots);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (OPERATION_SLOTS.contains(i)) {
            EXPECT_NE(slots[i], nullptr) << "slot " << i;
        } else if (i != 0) {
            EXPECT_EQ(slots[i], nullptr) << "slot " << i;
        }
    }
    EXPECT_EQ(slots[0], &marker);
}

class OperationSlotCallTest : public OperationsTest {};

TEST_F(OperationSlotCallTest, SlotsTakeTheHostPointerFirstAndReturnTheOperationsCode) {
    slot_table_t slots{};
    fill_operation_slots(slots);
    using open_t =
        std::uint32_t (*)(void*, std::uint32_t, std::uint32_t, std::uint32_t*, std::uint64_t);
    using close_t = std::uint32_t (*)(void*, std::uint32_t);
    int host = 0;
    std::uint32_t session = 0;
    EXPECT_EQ(reinterpret_cast<open_t>(slots[57])(&host, 0, UNKNOWN_CONTAINER, &session, 0),
              RC_SLOT_ID_INVALID);
    ASSERT_EQ(reinterpret_cast<open_t>(slots[57])(&host, 0, FIRST_CONTAINER, &session, 0), RC_OK);
    EXPECT_EQ(reinterpret_cast<close_t>(slots[58])(&host, session), RC_OK);
    EXPECT_EQ(reinterpret_cast<close_t>(slots[58])(&host, session),
              ORVA_RET_SM_SESSION_HANDLE_INVALID);
}

TEST_F(OperationSlotCallTest, AnExceptionBelowASlotBecomesAResultCode) {
    answer(ORVA_DESTROY_OBJECT, [](const fake::received_t&) -> fake::reply_t {
        throw std::runtime_error("transport broke");
    });
    slot_table_t slots{};
    fill_operation_slots(slots);
    using destroy_t = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t);
    EXPECT_EQ(reinterpret_cast<destroy_t>(slots[65])(nullptr, SESSION, 1), RC_GENERAL_ERROR);
}

// The shared library the host loads: its table carries the operation slots too. Start-up
// fails later for want of partitions, but the table is written before that.
TEST(PluginTable, CarriesTheOperationSlots) {
    setenv("MarlevonConfigurationPath", "/nonexistent/ximora-operations-test", 1);
    std::array<plugin_slot_t, PLUGIN_SLOT_COUNT> table{};
    EXPECT_NE(plugin_initialize(1, table.data()), RC_OK);
    EXPECT_EQ(plugin_finalize(), RC_OK);
    unsetenv("MarlevonConfigurationPath");
    for (std::size_t i : OPERATION_SLOTS) {
        EXPECT_NE(table[i], nullptr) << "slot " << i;
    }
    EXPECT_NE(table[1], nullptr);  // and the local ones
}

}  // namespace
}  // namespace optest
