#include "rest/HttpClientManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/SimpleLogger.h"

namespace {

using namespace std::chrono_literals;

constexpr auto GENEROUS = 10s;  // only a hang runs into this
constexpr auto SETTLE = 50ms;   // lets another thread reach its blocking point; never asserted on

// What the fake clients of one test did, shared by all of them.
struct FakeWorld {
    std::atomic<int> constructed{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> connect_calls{0};
    std::atomic<bool> connect_succeeds{true};
    std::atomic<bool> fail_construction{false};
    std::function<void(int call)> on_connect;  // set before any thread starts

    std::mutex mutex;  // guards the recorded arguments below
    std::string host;
    std::uint16_t port = 0;
    std::int32_t timeout = 0;
    int retry_count = 0;
    int interval_ms = 0;
};
FakeWorld* g_world = nullptr;

class FakeClient {
public:
    FakeClient(const std::string& host, std::uint16_t port, std::int32_t timeoutSec) {
        if (g_world->fail_construction) {
            throw std::runtime_error("cannot load the CA bundle");
        }
        id_ = g_world->constructed++;
        std::lock_guard lock(g_world->mutex);
        g_world->host = host;
        g_world->port = port;
        g_world->timeout = timeoutSec;
    }
    ~FakeClient() { ++g_world->destroyed; }

    bool isConnected() const { return connected_; }
    void connect(int retryCount, int intervalMs) {
        ++connects_;
        const int call = ++g_world->connect_calls;
        {
            std::lock_guard lock(g_world->mutex);
            g_world->retry_count = retryCount;
            g_world->interval_ms = intervalMs;
        }
        if (g_world->on_connect) {
            g_world->on_connect(call);
        }
        connected_ = g_world->connect_succeeds;
    }

    void drop_connection() { connected_ = false; }
    int id() const { return id_; }
    int connects() const { return connects_; }

private:
    int id_ = -1;
    int connects_ = 0;
    bool connected_ = false;
};

using Manager = HttpClientManager<FakeClient>;
using Handle = Manager::ClientHandle;

class ClientPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_world = &world_;
        pool_->setWaitSliceForTesting(10ms);
    }
    void TearDown() override {
        pool_.reset();
        g_world = nullptr;
    }

    bool init(std::uint64_t size) { return pool_->init("hsm.example", 8443, size, 3, 250, 7); }

    FakeWorld world_;
    std::unique_ptr<Manager> pool_ = std::make_unique<Manager>();
};

TEST(ClientPoolWaitSlice, ShrinksWithTheHardwareThreads) {
    struct Case {
        unsigned cores;
        long long slice_ms;
    };
    for (const Case& c : {Case{0, 5000}, Case{1, 5000}, Case{2, 2500}, Case{3, 1666}, Case{4, 1250}}) {
        EXPECT_EQ(client_pool::max_wait_for(c.cores).count(), c.slice_ms) << c.cores << " cores";
    }
    EXPECT_EQ(client_pool::core_count, std::thread::hardware_concurrency());
    EXPECT_EQ(client_pool::max_wait, client_pool::max_wait_for(client_pool::core_count));
}

struct SizeCase {
    std::uint64_t configured;
    int clients;
};

class ClientPoolSizeTest : public ClientPoolTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ClientPoolSizeTest, BuildsAtMostOneHundredClientsAndConnectsOne) {
    ASSERT_TRUE(init(GetParam().configured));
    EXPECT_EQ(world_.constructed, GetParam().clients);
    EXPECT_EQ(pool_->idleCount(), static_cast<std::size_t>(GetParam().clients));
    EXPECT_EQ(world_.connect_calls, 1);
    EXPECT_TRUE(pool_->borrowClient()->isConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ClientPoolSizeTest,
    ::testing::Values(SizeCase{0, 1}, SizeCase{1, 1}, SizeCase{2, 2}, SizeCase{100, 100},
                      SizeCase{250, 100},
                      // a negative ClientPoolSize read as unsigned
                      SizeCase{static_cast<std::uint64_t>(std::int64_t{-1}), 100},
                      SizeCase{std::numeric_limits<std::uint64_t>::max(), 100}));

TEST_F(ClientPoolTest, SizeZeroIsWarnedAbout) {
    if (SimpleLogger::logLevel() > SimpleLogger::warning) {
        GTEST_SKIP() << "warnings are not logged at the configured level";
    }
    std::ostringstream sink;
    SimpleLogger::setTestSeams(nullptr, &sink);
    const bool ok = init(0);
    SimpleLogger::setTestSeams(nullptr, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_NE(sink.str().find("ClientPoolSize 0"), std::string::npos) << sink.str();
}

TEST_F(ClientPoolTest, ClientsGetTheStoredSettings) {
    ASSERT_TRUE(init(4));
    std::lock_guard lock(world_.mutex);
    EXPECT_EQ(world_.host, "hsm.example");
    EXPECT_EQ(world_.port, 8443);
    EXPECT_EQ(world_.timeout, 7);
    EXPECT_EQ(world_.retry_count, 3);
    EXPECT_EQ(world_.interval_ms, 250);
}

TEST_F(ClientPoolTest, InitReportsAnUnconnectableFirstClientAndKeepsIt) {
    world_.connect_succeeds = false;
    EXPECT_FALSE(init(3));
    EXPECT_EQ(pool_->idleCount(), 3u);
    Handle lent = pool_->borrowClient();
    EXPECT_FALSE(lent->isConnected());  // lent all the same
}

TEST_F(ClientPoolTest, UninitialisedPoolRaisesTheDocumentedTexts) {
    try {
        pool_->borrowClient();
        FAIL() << "borrowClient did not raise";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "HttpClientManager::borrowClient(): implementation uninitialized");
    }
    try {
        pool_->renewClient(Handle(new FakeClient("h", 1, 1)));
        FAIL() << "renewClient did not raise";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "HttpClientManager::renewClient(): implementation uninitialized");
    }
    EXPECT_EQ(world_.destroyed, 1);  // the handle given to renewClient is not leaked
}

TEST_F(ClientPoolTest, LendsTheMostRecentlyReturnedClientFirst) {
    ASSERT_TRUE(init(3));
    Handle a = pool_->borrowClient();
    Handle b = pool_->borrowClient();
    Handle c = pool_->borrowClient();
    const int ids[] = {a->id(), b->id(), c->id()};
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], ids[2]);

    b.reset();
    c.reset();
    a.reset();
    EXPECT_EQ(pool_->borrowClient()->id(), ids[0]);  // each handle goes back at once
    Handle first = pool_->borrowClient();
    Handle second = pool_->borrowClient();
    Handle third = pool_->borrowClient();
    EXPECT_EQ(first->id(), ids[0]);
    EXPECT_EQ(second->id(), ids[2]);
    EXPECT_EQ(third->id(), ids[1]);
}

TEST_F(ClientPoolTest, OneThreadKeepsReusingOneConnection) {
    ASSERT_TRUE(init(5));
    const int id = pool_->borrowClient()->id();
    for (int i = 0; i < 10; ++i) {
        Handle lent = pool_->borrowClient();
        EXPECT_EQ(lent->id(), id);
        EXPECT_EQ(lent->connects(), 1);
    }
    EXPECT_EQ(world_.connect_calls, 1);
}

TEST_F(ClientPoolTest, ReconnectsAClientThatLostItsConnection) {
    ASSERT_TRUE(init(2));
    int id = 0;
    {
        Handle lent = pool_->borrowClient();
        id = lent->id();
        lent->drop_connection();  // as when a deadline closed its socket
    }
    Handle again = pool_->borrowClient();
    EXPECT_EQ(again->id(), id);
    EXPECT_TRUE(again->isConnected());
    EXPECT_EQ(again->connects(), 2);
}

TEST_F(ClientPoolTest, ReturnClientTakesOwnershipAndIgnoresNull) {
    ASSERT_TRUE(init(2));
    FakeClient* none = nullptr;
    pool_->returnClient(none);
    EXPECT_EQ(pool_->idleCount(), 2u);

    FakeClient* raw = pool_->borrowClient().release();
    const int id = raw->id();
    EXPECT_EQ(pool_->idleCount(), 1u);
    pool_->returnClient(raw);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(pool_->idleCount(), 2u);
    EXPECT_EQ(pool_->borrowClient()->id(), id);
}

TEST_F(ClientPoolTest, AWaitingBorrowerGetsExactlyTheReturnedClient) {
    ASSERT_TRUE(init(2));
    Handle a = pool_->borrowClient();
    Handle b = pool_->borrowClient();
    auto third = std::async(std::launch::async, [&] { return pool_->borrowClient(); });
    EXPECT_EQ(third.wait_for(SETTLE), std::future_status::timeout);

    FakeClient* returned = b.get();
    b.reset();
    ASSERT_EQ(third.wait_for(GENEROUS), std::future_status::ready);
    EXPECT_EQ(third.get().get(), returned);
}

TEST(ClientPoolWaiterGate, NewcomersWaitUntilNoOldWaiterIsLeft) {
    for (unsigned cores : {1u, 2u}) {
        client_pool::WaiterGate gate(cores);
        gate.enter();
        std::atomic<bool> passed{false};
        std::thread newcomer([&] {
            gate.give_way();
            passed = true;
        });
        std::this_thread::sleep_for(SETTLE);
        EXPECT_FALSE(passed) << cores << " cores";
        gate.leave();
        newcomer.join();
        EXPECT_TRUE(passed);
        EXPECT_EQ(gate.count(), 0);
    }
}

TEST_F(ClientPoolTest, ALongWaiterIsServedBeforeANewcomer) {
    ASSERT_TRUE(init(1));
    Handle held = pool_->borrowClient();

    std::mutex order_mutex;
    std::vector<std::string> order;
    auto borrow_as = [&](const std::string& name) {
        Handle lent = pool_->borrowClient();
        std::lock_guard lock(order_mutex);
        order.push_back(name);
    };
    std::thread old_waiter(borrow_as, "old");
    const auto deadline = std::chrono::steady_clock::now() + GENEROUS;
    while (pool_->waiters() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(pool_->waiters(), 1);  // it waited a whole slice and registered

    std::thread newcomer(borrow_as, "new");
    std::this_thread::sleep_for(SETTLE);
    held.reset();
    old_waiter.join();
    newcomer.join();
    EXPECT_EQ(order, (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(pool_->waiters(), 0);
    EXPECT_EQ(pool_->idleCount(), 1u);
}

TEST_F(ClientPoolTest, ConnectingOneClientDoesNotBlockOtherBorrowers) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first_connect_started{false};
    world_.on_connect = [&](int call) {
        if (call == 2) {  // call 1 is init's own client
            first_connect_started = true;
            released.wait();
        }
    };
    ASSERT_TRUE(init(3));
    Handle warm = pool_->borrowClient();  // keep init's connected client out of the way

    auto slow = std::async(std::launch::async, [&] { return pool_->borrowClient(); });
    const auto deadline = std::chrono::steady_clock::now() + GENEROUS;
    while (!first_connect_started && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(first_connect_started);

    auto other = std::async(std::launch::async, [&] {
        pool_->borrowClient().reset();
        warm.reset();
        pool_->borrowClient().reset();
    });
    const auto status = other.wait_for(GENEROUS);
    release.set_value();  // unblock before asserting, so a failure does not hang the test
    EXPECT_EQ(status, std::future_status::ready);
    EXPECT_TRUE(slow.get()->isConnected());
    other.get();
}

TEST_F(ClientPoolTest, RenewReplacesTheClientOneForOne) {
    ASSERT_TRUE(init(3));
    Handle lent = pool_->borrowClient();
    const int old_id = lent->id();
    lent->drop_connection();

    Handle fresh = pool_->renewClient(std::move(lent));
    EXPECT_NE(fresh->id(), old_id);
    EXPECT_TRUE(fresh->isConnected());
    EXPECT_EQ(fresh->connects(), 1);
    EXPECT_EQ(world_.destroyed, 1);
    EXPECT_EQ(pool_->idleCount(), 2u);  // the old one did not go back

    const int fresh_id = fresh->id();
    fresh.reset();
    EXPECT_EQ(pool_->idleCount(), 3u);
    EXPECT_EQ(pool_->borrowClient()->id(), fresh_id);
}

TEST_F(ClientPoolTest, RenewRejectsAnEmptyHandle) {
    ASSERT_TRUE(init(2));
    EXPECT_THROW(pool_->renewClient(Handle()), std::invalid_argument);
    EXPECT_EQ(world_.constructed, 2);
}

TEST_F(ClientPoolTest, AFailedRenewalLeavesThePoolOneClientSmaller) {
    ASSERT_TRUE(init(3));
    Handle lent = pool_->borrowClient();
    world_.fail_construction = true;
    EXPECT_THROW(pool_->renewClient(std::move(lent)), std::runtime_error);
    EXPECT_EQ(world_.destroyed, 1);
    EXPECT_EQ(pool_->idleCount(), 2u);
}

TEST_F(ClientPoolTest, AClientLentFromAReplacedPoolDoesNotJoinTheNewOne) {
    ASSERT_TRUE(init(2));
    {
        Handle from_old = pool_->borrowClient();
        ASSERT_TRUE(init(2));  // the old pool's idle client closes now
        EXPECT_EQ(world_.destroyed, 1);
    }  // the handle kept the old pool alive until here
    EXPECT_EQ(world_.destroyed, 2);
    EXPECT_EQ(pool_->idleCount(), 2u);
}

TEST_F(ClientPoolTest, ABorrowerWaitingOnAReplacedPoolIsReleased) {
    ASSERT_TRUE(init(1));
    Handle held = pool_->borrowClient();
    auto waiting = std::async(std::launch::async, [&] { return pool_->borrowClient(); });
    EXPECT_EQ(waiting.wait_for(SETTLE), std::future_status::timeout);

    ASSERT_TRUE(init(1));
    ASSERT_EQ(waiting.wait_for(GENEROUS), std::future_status::ready);
    EXPECT_THROW(waiting.get(), std::runtime_error);
    held = Handle();  // comes back to the replaced pool and is closed
    EXPECT_EQ(world_.destroyed, 1);
    EXPECT_EQ(pool_->idleCount(), 1u);
}

TEST_F(ClientPoolTest, AHandleMayOutliveItsManager) {
    ASSERT_TRUE(init(2));
    {
        Handle lent = pool_->borrowClient();
        pool_.reset();
        EXPECT_EQ(world_.destroyed, 1);
    }
    EXPECT_EQ(world_.destroyed, 2);
}

}  // namespace
