#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "health/StatusMonitor.h"

namespace {

std::atomic<std::int64_t> g_now{1'700'000'000};
std::int64_t fake_clock() { return g_now.load(); }

class StatusMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        StatusMonitor::set_clock_for_testing(fake_clock);
        StatusMonitor::set_prober([this](std::uint64_t serial) {
            probes_.push_back(serial);
            return probe_result_;
        });
        unsetenv("ClientTimeoutSec");
        unsetenv("MarlevonConfigurationPath");
    }
    void TearDown() override {
        StatusMonitor::set_clock_for_testing(nullptr);
        StatusMonitor::set_prober(nullptr);
        unsetenv("ClientTimeoutSec");
    }

    std::vector<std::uint64_t> probes_;
    std::uint32_t probe_result_ = 0;
};

TEST_F(StatusMonitorTest, ExpiryIsOneAndAHalfClientTimeoutsWithAFloorOfSixtySeconds) {
    const struct {
        const char* timeout;
        std::int64_t expiry;
    } cases[] = {{"30", 90}, {"60", 90}, {"61", 91}, {"600", 900}, {"-5", 90}};
    for (const auto& c : cases) {
        setenv("ClientTimeoutSec", c.timeout, 1);
        StatusMonitor::start({1});
        EXPECT_EQ(StatusMonitor::expiry_seconds(), c.expiry) << c.timeout;
    }
}

TEST_F(StatusMonitorTest, FreshStampAnswersWithoutProbing) {
    StatusMonitor::start({11, 12});
    EXPECT_TRUE(StatusMonitor::isOnline(11));  // never seen: probed, probe succeeds
    EXPECT_EQ(probes_, (std::vector<std::uint64_t>{11}));
    StatusMonitor::setOnline(11);
    g_now += 899;
    EXPECT_TRUE(StatusMonitor::isOnline(11));
    EXPECT_EQ(probes_.size(), 1u);
    g_now += 1;  // the stamp is now exactly the expiry old
    probe_result_ = 0xC0000100;
    EXPECT_FALSE(StatusMonitor::isOnline(11));
    EXPECT_EQ(probes_.size(), 2u);
}

TEST_F(StatusMonitorTest, TransportFailureClearsAFreshStamp) {
    StatusMonitor::start({21});
    StatusMonitor::setOnline(21);
    StatusMonitor::setOffline(21);
    probe_result_ = 0x820000;
    EXPECT_FALSE(StatusMonitor::isOnline(21));
    EXPECT_EQ(probes_, (std::vector<std::uint64_t>{21}));
}

TEST_F(StatusMonitorTest, StartResetsEveryPartitionToOffline) {
    StatusMonitor::start({31});
    StatusMonitor::setOnline(31);
    StatusMonitor::start({31});
    EXPECT_TRUE(StatusMonitor::isOnline(31));
    EXPECT_EQ(probes_.size(), 1u);
}

TEST_F(StatusMonitorTest, UnregisteredPartitionsAreProbedAndNeverStamped) {
    StatusMonitor::start({41});
    StatusMonitor::setOnline(99);
    EXPECT_TRUE(StatusMonitor::isOnline(99));
    EXPECT_EQ(probes_, (std::vector<std::uint64_t>{99}));
}

}  // namespace
