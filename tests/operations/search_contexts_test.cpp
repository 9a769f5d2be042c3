// A search step is a look-up and an advance that no other step may split.

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>
#include <vector>

#include "operations/search_contexts.h"
#include "tests/operations/operations_fixture.h"

namespace optest {
namespace {

constexpr std::uint32_t SEARCHING = 0x61;
const ops::search_id_t ID = {1, 2, 3};

class SearchContextsTest : public ::testing::Test {
  protected:
    void TearDown() override { clear_session_maps(); }
};

TEST_F(SearchContextsTest, ConcurrentStepsNeverShareASequenceNumber) {
    constexpr int THREADS = 8;
    constexpr int STEPS = 100000;
    ops::start_search(SEARCHING, ID);
    std::vector<std::vector<std::uint64_t>> taken(THREADS);
    std::vector<std::thread> threads;
    std::latch start(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&taken, &start, t] {
            start.arrive_and_wait();
            for (int i = 0; i < STEPS; ++i) {
                taken[t].push_back(ops::take_search_step(SEARCHING)->sequence);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<std::uint64_t> all;
    for (const auto& steps : taken) {
        all.insert(all.end(), steps.begin(), steps.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a number was taken twice";
    EXPECT_EQ(all.back(), std::uint64_t{THREADS * STEPS - 1});
}

}  // namespace
}  // namespace optest
