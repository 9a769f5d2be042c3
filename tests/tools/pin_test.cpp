// PIN input at a real terminal: a pseudo-terminal whose far side plays the user.
#include "tools/host/pin.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

constexpr int WAIT_MS = 10000;

// Reads what the terminal shows until `until` appears or the child has gone quiet.
std::string read_terminal(int master, const std::string& until) {
    std::string seen;
    char buffer[256];
    while (seen.find(until) == std::string::npos) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, WAIT_MS) <= 0) {
            break;
        }
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}

// In the child: the terminal becomes its controlling terminal, then it reads the PIN and
// reports it, and whether echo is back on, through `report`.
[[noreturn]] void child_reads_pin(const char* terminal, int report) {
    ::setsid();
    const int tty = ::open(terminal, O_RDWR);  // the first terminal a session leader opens
    ::unsetenv("XIMORA_PIN");
    std::string result;
    {
        const auto pin = host::read_pin("PIN: ");
        result = pin.str();
    }
    termios after{};
    const bool echo = tty >= 0 && ::tcgetattr(tty, &after) == 0 && (after.c_lflag & ECHO) != 0;
    result += echo ? "|echo on" : "|echo off";
    (void)!::write(report, result.data(), result.size());
    ::_exit(0);
}

struct typed_case_t {
    const char* name;
    std::string typed;     // what the user types, line end included
    std::string expected;  // the PIN read
};

class TerminalPinTest : public ::testing::TestWithParam<typed_case_t> {};

TEST_P(TerminalPinTest, ReadsTheTerminalWithoutEchoAndRestoresIt) {
    const auto& c = GetParam();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        child_reads_pin(terminal.c_str(), report[1]);
    }
    ::close(report[1]);
    const std::string prompt = read_terminal(master, "PIN: ");
    EXPECT_THAT(prompt, ::testing::HasSubstr("PIN: "));
    ASSERT_EQ(::write(master, c.typed.data(), c.typed.size()),
              static_cast<ssize_t>(c.typed.size()));
    const std::string shown = read_terminal(master, "\n");

    std::string result;
    char buffer[256];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report[0]);
    ::close(master);

    EXPECT_EQ(result, c.expected + "|echo on");
    EXPECT_THAT(prompt + shown, ::testing::Not(::testing::HasSubstr(c.typed.substr(0, 6))));
}

// A line too long for any PIN is refused whole rather than cut to a PIN nobody typed.
INSTANTIATE_TEST_SUITE_P(
    Lines, TerminalPinTest,
    ::testing::Values(typed_case_t{"Pin", "s3cret-Pin\n", "s3cret-Pin"},
                      typed_case_t{"LongestAccepted", std::string(255, 'p') + "\n",
                                   std::string(255, 'p')},
                      typed_case_t{"TooLong", std::string(256, 'p') + "\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PinTest, TheEnvironmentComesFirstAndTheFallbackLast) {
    ::setenv("XIMORA_PIN", "from-env", 1);
    EXPECT_EQ(host::read_pin("PIN: ").str(), "from-env");
    EXPECT_EQ(host::pin_or("fallback").str(), "from-env");
    ::unsetenv("XIMORA_PIN");
    EXPECT_EQ(host::pin_or("fallback").str(), "fallback");
}

TEST(PinTest, AMovedSecretLeavesNothingBehind) {
    host::secret_string first(std::string("one"));
    host::secret_string second(std::move(first));
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second.str(), "one");
    host::secret_string third(std::string("three"));
    third = std::move(second);
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(third.str(), "one");
}

}  // namespace
