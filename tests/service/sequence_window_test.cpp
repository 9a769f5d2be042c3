// The replay window of a tunnel: every sequence number once, in any order within the window.

#include <gtest/gtest.h>

#include <vector>

#include "service/tunnel.h"

namespace {

constexpr std::uint64_t WIDTH = service::sequence_window::WIDTH;

struct window_case_t {
    const char* name;
    std::vector<std::uint64_t> accepted_first;
    std::uint64_t probe;
    bool expected;
};

class SequenceWindow : public ::testing::TestWithParam<window_case_t> {};

TEST_P(SequenceWindow, DecidesTheProbe) {
    service::sequence_window window;
    for (auto sequence : GetParam().accepted_first) {
        ASSERT_TRUE(window.accept(sequence)) << sequence;
    }
    EXPECT_EQ(window.accept(GetParam().probe), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceWindow,
    ::testing::Values(
        window_case_t{"FirstZero", {}, 0, true}, window_case_t{"RepeatOfZero", {0}, 0, false},
        window_case_t{"Next", {0, 1, 2}, 3, true},
        window_case_t{"RepeatInMiddle", {0, 1, 2}, 1, false},
        window_case_t{"LateButUnseen", {0, 2, 3}, 1, true},
        window_case_t{"GapFilled", {5, 9}, 7, true},
        window_case_t{"EdgeOfWindow", {WIDTH}, 1, true},
        window_case_t{"BelowWindow", {WIDTH}, 0, false},
        window_case_t{"FarJumpForgetsOldBits", {3, 3 + 2 * WIDTH}, 3 + WIDTH + 1, true},
        window_case_t{"RepeatAfterFarJump", {3, 3 + 2 * WIDTH}, 3 + 2 * WIDTH, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SequenceWindowSweep, SlotsReusedAcrossTheWindowAreCleared) {
    service::sequence_window window;
    for (std::uint64_t n = 0; n < 3 * WIDTH; ++n) {
        ASSERT_TRUE(window.accept(n)) << n;
    }
    EXPECT_FALSE(window.accept(3 * WIDTH - 1));
    EXPECT_FALSE(window.accept(2 * WIDTH));
    EXPECT_FALSE(window.accept(2 * WIDTH - 1));  // just below the window
}

}  // namespace
