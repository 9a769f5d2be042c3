#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "health/Keepalive.h"

using namespace std::chrono_literals;

namespace {

// Records every keepalive and answers each partition with a scripted result.
class RecordingSender {
public:
    explicit RecordingSender(std::map<std::uint64_t, std::uint32_t> results)
        : results_(std::move(results)) {}

    std::uint32_t send(std::uint64_t serial) {
        std::lock_guard lock(mutex_);
        sent_.push_back(serial);
        cond_.notify_all();
        auto it = results_.find(serial);
        return it == results_.end() ? 0 : it->second;
    }

    // Waits until at least `count` keepalives were sent; false after a generous timeout.
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return cond_.wait_for(lock, 10s, [&] { return sent_.size() >= count; });
    }

    std::vector<std::uint64_t> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<std::uint64_t> sent_;
    std::map<std::uint64_t, std::uint32_t> results_;
};

class KeepaliveTest : public ::testing::Test {
protected:
    void SetUp() override { Keepalive::clear_for_testing(); }
    void TearDown() override {
        Keepalive::stop();
        Keepalive::set_sender(nullptr);
        Keepalive::set_timing_for_testing(Keepalive::PERIOD, Keepalive::POLL);
    }

    void use(RecordingSender& sender) {
        Keepalive::set_sender([&sender](std::uint64_t serial) { return sender.send(serial); });
    }
};

TEST_F(KeepaliveTest, PassesVisitEachPartitionOnceInAscendingOrder) {
    RecordingSender sender({});
    use(sender);
    Keepalive::insert(30);
    Keepalive::insert(10);
    Keepalive::insert(30);
    Keepalive::set_timing_for_testing(20ms, 5ms);
    Keepalive::start();
    ASSERT_TRUE(sender.wait_for(4));
    Keepalive::stop();
    auto sent = sender.sent();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ((std::vector<std::uint64_t>(sent.begin(), sent.begin() + 4)),
              (std::vector<std::uint64_t>{10, 30, 10, 30}));
}

TEST_F(KeepaliveTest, DropsPartitionsTheServiceNoLongerKnowsAndKeepsTheRest) {
    // 1 and 2 are gone on the service; 3 failed at the transport and stays.
    RecordingSender sender({{1, Keepalive::RC_ARGUMENTS_BAD_CODE},
                            {2, Keepalive::BAD_ACCESS_HANDLE_CODE},
                            {3, 0xC0000100}});
    use(sender);
    for (std::uint64_t serial : {1, 2, 3, 4}) {
        Keepalive::insert(serial);
    }
    Keepalive::set_timing_for_testing(20ms, 5ms);
    Keepalive::start();
    ASSERT_TRUE(sender.wait_for(6));  // a whole first pass and the start of a second
    Keepalive::stop();
    auto sent = sender.sent();
    EXPECT_EQ((std::vector<std::uint64_t>(sent.begin(), sent.begin() + 6)),
              (std::vector<std::uint64_t>{1, 2, 3, 4, 3, 4}));
    EXPECT_EQ(Keepalive::partitions(), (std::set<std::uint64_t>{3, 4}));
}

TEST_F(KeepaliveTest, StopDuringTheLongWaitReturnsPromptly) {
    RecordingSender sender({});
    use(sender);
    Keepalive::insert(7);
    Keepalive::start();  // production period: the first pass would come after 180 s
    Keepalive::start();  // a second start is a no-op
    EXPECT_TRUE(Keepalive::running());
    std::this_thread::sleep_for(20ms);
    auto before = std::chrono::steady_clock::now();
    Keepalive::stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_FALSE(Keepalive::running());
    EXPECT_TRUE(sender.sent().empty());
}

TEST_F(KeepaliveTest, StopWithoutStartAndRestartWork) {
    Keepalive::stop();
    EXPECT_FALSE(Keepalive::running());
    RecordingSender sender({});
    use(sender);
    Keepalive::insert(5);
    Keepalive::set_timing_for_testing(10ms, 2ms);
    Keepalive::start();
    Keepalive::stop();
    Keepalive::start();
    ASSERT_TRUE(sender.wait_for(1));
    EXPECT_EQ(sender.sent().front(), 5u);
}

}  // namespace
