#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/codes.h"
#include "config/wire.h"
#include "plugin/command.h"
#include "plugin/lifecycle.h"
#include "plugin/local_slots.h"
#include "plugin/send_path.h"
#include "tests/support/fake_hsm.h"
#include "xtc/xtc.h"
#include "tools/pki/pki.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t PARTITION = 7001;
const app_id_t SERVICE_APP_ID = {0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xAF};

// A configuration directory with a minted partition under the compiled-in development root.
class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef XIMORA_DEV_ROOT_DIR
        GTEST_SKIP() << "built with a deployment root: no key to issue test partitions";
#else
        dir_ = fs::temp_directory_path() /
               ("ximora-lifecycle-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        auto root = ximora::pki::load_root(XIMORA_DEV_ROOT_DIR);
        ximora::pki::deployment_options_t options;
        options.partitions = {PARTITION};
        ximora::pki::mint_deployment(root, dir_, options);
        setenv("MarlevonConfigurationPath", dir_.c_str(), 1);
        key_ = ximora::pki::load_key(dir_ / ("partition-" + std::to_string(PARTITION) + ".key"));
#endif
    }
    void TearDown() override {
        finalize_plugin();
        fake::hsm::uninstall();
        unsetenv("MarlevonConfigurationPath");
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    void write_config(bool with_timeout) {
        std::ofstream conf(dir_ / "Marlevon.conf");
        conf << "XTC = {\n"
             << "   PartitionCAPath = " << (dir_ / "ca.pem").string() << ";\n"
             << "   PartitionCertPath00 = "
             << (dir_ / ("partition-" + std::to_string(PARTITION) + ".pem")).string() << ";\n";
        if (with_timeout) {
            conf << "   TimeoutSec = 120;\n";
        }
        conf << "}\n";
    }

    std::uint32_t initialize(slot_table_t& table) {
        return initialize_plugin(1, table.data(), local_slot_table());
    }

    fs::path dir_;
    xtc::pkey_handle key_;
};

fake::reply_t app_id_reply(const fake::received_t& received) {
    if (received.code != ORVA_GEN_APPID) {
        return fake::reply_t{};
    }
    std::vector<std::uint8_t> body(20, 0);
    std::copy(SERVICE_APP_ID.begin(), SERVICE_APP_ID.end(), body.begin());
    wire::put_u32(body, 16, 16);
    return fake::with_body(body);
}

TEST_F(LifecycleTest, BadArgumentsAreRefusedWithoutTouchingTheTable) {
    slot_table_t table{};
    table.fill(reinterpret_cast<plugin_slot_t>(&get_slot_count));
    for (auto [version, host_table] : {std::pair{2, table.data()}, std::pair{1, (plugin_slot_t*)nullptr}}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(initialize_plugin(version, host_table, local_slot_table()), RC_GENERAL_ERROR);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Zarv: unable to initialize plugin.\n");
    }
    EXPECT_EQ(table[5], reinterpret_cast<plugin_slot_t>(&get_slot_count));
    EXPECT_EQ(plugin_state(), PLUGIN_NOT_INITIALISED);
}

TEST_F(LifecycleTest, TunnelFailureStillFillsTheTableAndBlocksAnotherStartUntilFinalised) {
    write_config(/*with_timeout=*/false);
    slot_table_t table{};
    table.fill(reinterpret_cast<plugin_slot_t>(&get_slot_count));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(initialize(table), ORVA_RET_XTC_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Zarv configuration error. Invalid XTC timeout.\nZarv: unable to initialize XTC\n");
    EXPECT_EQ(table, local_slot_table());
    EXPECT_EQ(table[5], nullptr);
    EXPECT_EQ(plugin_state(), PLUGIN_INITIALISING);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(initialize(table), RC_GENERAL_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Zarv: unable to initialize plugin.\n");
    EXPECT_EQ(finalize_plugin(), RC_OK);
    EXPECT_EQ(plugin_state(), PLUGIN_NOT_INITIALISED);
}

TEST_F(LifecycleTest, NoTransportFailsTheRestStep) {
    write_config(true);
    slot_table_t table{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(initialize(table), ORVA_RET_GENERAL_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Zarv: unable to initialize REST connection\n");
}

TEST_F(LifecycleTest, ServiceThatStaysBusyFailsStartUpWithRcBusy) {
    write_config(true);
    fake::hsm hsm({{PARTITION, key_}});
    hsm.install_transport();
    hsm.set_script([](const fake::received_t&) { return fake::result(RC_RETRY); });
    slot_table_t table{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(initialize(table), RC_BUSY);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Zarv: unable to communicate with the service. Error code: RC_BUSY (C000B000)\n");
    EXPECT_EQ(hsm.received().size(), 5u);
}

TEST_F(LifecycleTest, StartUpObtainsTheApplicationIdAndRuns) {
    write_config(true);
    fake::hsm hsm({{PARTITION, key_}});
    hsm.install_transport();
    hsm.set_script(app_id_reply);
    slot_table_t table{};
    ASSERT_EQ(initialize(table), RC_OK);
    EXPECT_EQ(plugin_state(), PLUGIN_RUNNING);
    EXPECT_EQ(current_app_id(), SERVICE_APP_ID);
    // The status monitor starts every partition offline, so the first query probes it.
    EXPECT_EQ(get_operation_status(nullptr, xtc::FIRST_CONTAINER), 1u);
    EXPECT_EQ(get_operation_status(nullptr, xtc::FIRST_CONTAINER), 1u);
    EXPECT_EQ(get_operation_status(nullptr, 12345), 0u);

    // A restart sends the application id it already has.
    EXPECT_EQ(finalize_plugin(), RC_OK);
    ASSERT_EQ(initialize(table), RC_OK);
    auto received = hsm.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].code, ORVA_GEN_APPID);
    EXPECT_EQ(received[1].code, ORVA_GET);
    EXPECT_EQ(wire::get_u32(received[1].command, 36), ORVA_GT_FWV);
    EXPECT_EQ(received[2].code, ORVA_GEN_APPID);
    EXPECT_EQ(std::vector<std::uint8_t>(received[2].command.begin() + 8,
                                        received[2].command.begin() + 24),
              std::vector<std::uint8_t>(SERVICE_APP_ID.begin(), SERVICE_APP_ID.end()));
}

TEST_F(LifecycleTest, WrongApplicationIdLengthIsRefused) {
    write_config(true);
    fake::hsm hsm({{PARTITION, key_}});
    hsm.install_transport();
    hsm.set_script([](const fake::received_t&) {
        std::vector<std::uint8_t> body(20, 0);
        wire::put_u32(body, 16, 15);
        return fake::with_body(body);
    });
    slot_table_t table{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(initialize(table), RC_BUFFER_TOO_SMALL);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("RC_BUFFER_TOO_SMALL (C0000006)"),
              std::string::npos);
}

}  // namespace
