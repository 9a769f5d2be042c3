#include "config/SimpleLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <boost/system/error_code.hpp>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/config/config_test_support.h"

namespace {

using config_test::ScopedEnv;

constexpr std::int64_t DEC_09_2018_18_11_02_UTC = 1544379062LL * 1000000;

std::atomic<std::int64_t> s_now{DEC_09_2018_18_11_02_UTC};
std::int64_t fixed_clock() {
    return s_now.load();
}

struct TzRefresh {
    ~TzRefresh() { ::tzset(); }
};

// Fixed clock in UTC and a captured sink; everything is put back afterwards.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.set("TZ", "UTC");
        ::tzset();
        s_now = DEC_09_2018_18_11_02_UTC;
        SimpleLogger::setTestSeams(&fixed_clock, &sink_);
    }
    void TearDown() override { SimpleLogger::setTestSeams(nullptr, nullptr); }

    // The line without its head, which ends at the first ", " after "Thrd=".
    std::string message_of(const std::string& line) const {
        const std::size_t thread = line.find("Thrd=");
        return thread == std::string::npos ? line : line.substr(line.find(", ", thread) + 2);
    }
    static std::string thread_text() { return "Thrd=" + std::to_string(::gettid()) + ", "; }

    TzRefresh tz_refresh_;  // declared first: runs after env_ has restored TZ
    ScopedEnv env_;
    std::ostringstream sink_;
};

struct LineCase {
    std::int64_t micros;
    int level;
    std::string head;  // up to the thread id
};

TEST_F(LoggerTest, LineHeadFormat) {
    const LineCase cases[] = {
        {DEC_09_2018_18_11_02_UTC + 123456, 3, "2018-Dec-09 18:11:02.123456: warning: "},
        {DEC_09_2018_18_11_02_UTC, 2, "2018-Dec-09 18:11:02:    info: "},
        {DEC_09_2018_18_11_02_UTC + 1, 0, "2018-Dec-09 18:11:02.000001:   trace: "},
        {946684800LL * 1000000, 1, "2000-Jan-01 00:00:00:   debug: "},
        {-1, 4, "1969-Dec-31 23:59:59.999999:   error: "},
        {DEC_09_2018_18_11_02_UTC, 5, "2018-Dec-09 18:11:02:   fatal: "},
        {DEC_09_2018_18_11_02_UTC, 6, "2018-Dec-09 18:11:02: DISABLED: "},
        {DEC_09_2018_18_11_02_UTC, 9, "2018-Dec-09 18:11:02: level-9: "},
        {DEC_09_2018_18_11_02_UTC, -1, "2018-Dec-09 18:11:02: level--1: "},
    };
    for (const auto& c : cases) {
        sink_.str("");
        s_now = c.micros;
        SimpleLogger(static_cast<SimpleLogger::ELevel>(c.level))() << "hello";
        EXPECT_EQ(sink_.str(), c.head + thread_text() + "hello\n");
    }
}

TEST_F(LoggerTest, UsesLocalTime) {
    env_.set("TZ", "XYZ-2");  // two hours east of UTC, no daylight saving
    ::tzset();
    SimpleLogger(SimpleLogger::info)() << "x";
    EXPECT_EQ(sink_.str().substr(0, 21), "2018-Dec-09 20:11:02:");
}

enum class Colour : short { red = 7 };

TEST_F(LoggerTest, FormatsEveryValueKind) {
    int target = 0;
    const void* address = &target;
    std::ostringstream pointer_text;
    pointer_text << address;
    char buffer[] = "buf";
    SimpleLogger(SimpleLogger::info)()
        << std::string("s") << ' ' << "lit" << ' ' << std::string_view("sv") << ' ' << buffer << ' '
        << 'c' << static_cast<signed char>('d') << static_cast<unsigned char>('e') << ' ' << true
        << false << ' ' << static_cast<short>(-3) << ' ' << static_cast<unsigned short>(4) << ' '
        << -5 << ' ' << 6u << ' ' << -7L << ' ' << 18446744073709551615UL << ' ' << -9LL << ' '
        << 10ULL << ' ' << 1.5 << ' ' << 2.25f << ' ' << static_cast<long double>(0.1) << ' '
        << Colour::red << ' ' << address << ' ' << &target;
    EXPECT_EQ(message_of(sink_.str()),
              "s lit sv buf cde 10 -3 4 -5 6 -7 18446744073709551615 -9 "
              "10 1.5 2.25 0.1 7 " +
                  pointer_text.str() + ' ' + pointer_text.str() + '\n');
}

TEST_F(LoggerTest, ErrorCodeAsCategoryAndValue) {
    const std::pair<boost::system::error_code, std::string> cases[] = {
        {boost::system::error_code(ECONNREFUSED, boost::system::system_category()),
         "system:" + std::to_string(ECONNREFUSED)},
        {make_error_code(boost::system::errc::timed_out), "generic:" + std::to_string(ETIMEDOUT)},
        {boost::system::error_code(), "system:0"},
    };
    for (const auto& [code, text] : cases) {
        sink_.str("");
        SimpleLogger(SimpleLogger::error)() << "failed: " << code;
        EXPECT_EQ(message_of(sink_.str()), "failed: " + text + '\n');
    }
}

TEST_F(LoggerTest, NullCStringEndsTheMessage) {
    const char* missing = nullptr;
    SimpleLogger(SimpleLogger::warning)() << "before" << missing << "after" << 5;
    EXPECT_EQ(message_of(sink_.str()), "before\n");
}

TEST_F(LoggerTest, LastCopyWritesOnceWithCreationTime) {
    std::optional<SimpleLogger> first(SimpleLogger(SimpleLogger::info));
    (*first)() << "part one";
    {
        SimpleLogger copy = *first;
        s_now = DEC_09_2018_18_11_02_UTC + 5000000;
        first.reset();
        EXPECT_EQ(sink_.str(), "");
        copy << ", part two";
    }
    EXPECT_EQ(sink_.str(),
              "2018-Dec-09 18:11:02:    info: " + thread_text() + "part one, part two\n");
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    constexpr int LINES_PER_THREAD = 200;
    constexpr std::size_t LENGTH = 400;
    auto writer = [](char fill) {
        const std::string text(LENGTH, fill);
        for (int i = 0; i < LINES_PER_THREAD; ++i) {
            SimpleLogger logger(SimpleLogger::info);
            for (char c : text) {
                logger << c;  // many small appends widen the window for a torn line
            }
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();

    std::istringstream lines(sink_.str());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const std::string message = message_of(line);
        ASSERT_EQ(message.size(), LENGTH) << line;
        EXPECT_EQ(message, std::string(LENGTH, message.front())) << line;
    }
    EXPECT_EQ(count, 2 * LINES_PER_THREAD);
}

TEST_F(LoggerTest, WritesToStandardErrorByDefault) {
    SimpleLogger::setTestSeams(&fixed_clock, nullptr);
    std::ostringstream captured;
    std::streambuf* original = std::cerr.rdbuf(captured.rdbuf());
    SimpleLogger(SimpleLogger::fatal)() << "to stderr";
    std::cerr.rdbuf(original);
    EXPECT_EQ(captured.str(), "2018-Dec-09 18:11:02:   fatal: " + thread_text() + "to stderr\n");
}

struct ThresholdCase {
    const char* name;
    std::optional<std::string> app_log_level;
    int expected;
};

void PrintTo(const ThresholdCase& c, std::ostream* os) {
    *os << c.name;
}

class ThresholdTest : public ::testing::TestWithParam<ThresholdCase> {};

// The threshold is read once per process, so each case runs in a fresh one.
TEST_P(ThresholdTest, ReadOnceFromSettings) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const ThresholdCase& c = GetParam();
    ScopedEnv env;
    config_test::TempDir empty_dir;
    env.set("MarlevonConfigurationPath", empty_dir.path());
    c.app_log_level ? env.set("AppLogLevel", *c.app_log_level) : env.unset("AppLogLevel");
    EXPECT_EXIT(
        {
            const int first = SimpleLogger::logLevel();
            ::setenv("AppLogLevel", "trace", 1);
            const bool ok = first == c.expected && SimpleLogger::logLevel() == c.expected;
            std::filesystem::remove_all(empty_dir.path());  // exit() skips the destructors
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ThresholdTest,
                         ::testing::Values(ThresholdCase{"Warning", "warning", 3},
                                           ThresholdCase{"AbsentIsFatal", std::nullopt, 5},
                                           ThresholdCase{"Disabled", "disabled", 6}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
