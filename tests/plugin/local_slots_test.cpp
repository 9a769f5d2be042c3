#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "config/codes.h"
#include "config/wire.h"
#include "plugin/boundary.h"
#include "plugin/local_slots.h"
#include "plugin/send_path.h"
#include "tests/support/fake_hsm.h"

namespace {

TEST(LocalSlots, SlotInfoChecksItsBufferAndWritesExactlyTheRecord) {
    EXPECT_EQ(get_slot_info(nullptr, 192), RC_POINTER_INVALID);
    std::array<std::uint8_t, 200> record;
    record.fill(0xEE);
    EXPECT_EQ(get_slot_info(record.data(), 0), RC_POINTER_INVALID);
    EXPECT_EQ(get_slot_info(record.data(), 191), RC_BUFFER_TOO_SMALL);
    EXPECT_EQ(record[0], 0xEE);

    ASSERT_EQ(get_slot_info(record.data(), 192), RC_OK);
    EXPECT_EQ(wire::get_u64(record, 0), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&record[8]), 13), "Ximora Slot 1");
    EXPECT_EQ(record[8 + 13], 0xEE);  // the rest of the name field is the host's
    EXPECT_EQ(wire::get_u64(record, 40), 13u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&record[48]), 11), "Ximora Slot");
    EXPECT_EQ(record[48 + 11], 0xEE);
    EXPECT_EQ(wire::get_u64(record, 176), 11u);
    EXPECT_EQ(wire::get_u32(record, 184), 0u);
    EXPECT_EQ(wire::get_u32(record, 188), 0x201Fu);
    EXPECT_EQ(record[192], 0xEE);  // nothing past the record
}

TEST(LocalSlots, AnswersThatNeedNoService) {
    EXPECT_EQ(get_slot_count(), 1u);
    std::uint16_t level = 0;
    EXPECT_EQ(get_protocol_level(nullptr, &level), RC_OK);
    EXPECT_EQ(level, 23);
    EXPECT_EQ(get_protocol_level(nullptr, nullptr), RC_OK);

    std::array<std::uint8_t, 24> mofn;
    mofn.fill(0xEE);
    EXPECT_EQ(get_mofn_status(nullptr, nullptr), RC_POINTER_INVALID);
    EXPECT_EQ(get_mofn_status(nullptr, mofn.data()), RC_OK);
    EXPECT_EQ(std::count(mofn.begin(), mofn.begin() + 20, 0), 20);
    EXPECT_EQ(mofn[20], 0xEE);

    delete_bytes(nullptr, 10);
    delete_integers(nullptr, 10);
    delete_bytes(static_cast<std::uint8_t*>(std::malloc(10)), 10);
    delete_integers(static_cast<std::uint32_t*>(std::malloc(40)), 10);
}

TEST(LocalSlots, ContainerListComesFromTheTunnelLayer) {
    api_integer_block out{nullptr, 99};
    EXPECT_EQ(get_container_list(nullptr, 0, 0, nullptr), RC_POINTER_INVALID);
    EXPECT_EQ(get_container_list(nullptr, 0, 0, &out), RC_OK);  // no tunnel state yet
    EXPECT_EQ(out.count, 0u);

    fake::hsm hsm({{30, fake::hsm::make_key()}, {10, fake::hsm::make_key()},
                   {20, fake::hsm::make_key()}});
    hsm.install();
    ASSERT_EQ(get_container_list(nullptr, 0, 0, &out), RC_OK);
    ASSERT_EQ(out.count, 3u);
    std::set<std::uint32_t> containers(out.data, out.data + out.count);
    EXPECT_EQ(containers, (std::set<std::uint32_t>{1000000, 1000001, 1000002}));
    delete_integers(out.data, out.count);
    fake::hsm::uninstall();
}

TEST(LocalSlots, OperationStatusNeedsAKnownContainerAndARunningPlugin) {
    EXPECT_EQ(get_operation_status(nullptr, 1000000), 0u);  // no tunnel state
    fake::hsm hsm({{40, fake::hsm::make_key()}});
    hsm.install();
    EXPECT_EQ(get_operation_status(nullptr, 1000001), 0u);
    EXPECT_EQ(get_operation_status(nullptr, 1000000), 2u);  // not running
    fake::hsm::uninstall();
}

std::uint32_t throws_bad_alloc(int) { throw std::bad_alloc(); }
std::uint32_t throws_runtime_error(int) { throw std::runtime_error("boom"); }
std::uint32_t throws_int(int) { throw 42; }
std::uint32_t returns_argument(int value) { return static_cast<std::uint32_t>(value); }
void void_throws(int) { throw std::logic_error("no"); }

TEST(Boundary, ExceptionsBecomeResultCodes) {
    EXPECT_EQ(boundary::guarded<throws_bad_alloc>::call(1), RC_MEMORY_ALLOCATION);
    EXPECT_EQ(boundary::guarded<throws_runtime_error>::call(1), RC_GENERAL_ERROR);
    EXPECT_EQ(boundary::guarded<throws_int>::call(1), RC_GENERAL_ERROR);
    EXPECT_EQ(boundary::guarded<returns_argument>::call(0x1234), 0x1234u);
    boundary::guarded<void_throws>::call(1);  // must return normally
}

TEST(Boundary, TheLibraryExportsOnlyItsFourEntryPoints) {
    const std::string command = std::string("nm -D --defined-only ") + XIMORA_PLUGIN_PATH;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char type = 0;
        char name[400];
        if (std::sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'D' ||
                                                                   type == 'B' || type == 'W' ||
                                                                   type == 'V' || type == 'R')) {
            exported.insert(name);
        }
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(exported, (std::set<std::string>{"plugin_get_version", "plugin_get_description",
                                               "plugin_initialize", "plugin_finalize"}));
}

}  // namespace
