// The command-line host, run as its own process against the stand-in service: the demo's whole
// road, and objects that outlive the process that made them.
#include <cstdio>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct run_t {
    int exit_code = -1;
    std::string output;  // standard output and error together
};

// `environment` is a prefix of shell assignments. The host runs without a controlling terminal
// (setsid), so that a missing PIN can never wait for one.
run_t run_host(const std::string& environment, const std::string& arguments) {
    const std::string command = environment + " setsid '" + XIMORA_HOST_PATH + "' " +
                                arguments + " 2>&1 </dev/null";
    run_t run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        run.output += buffer;
    }
    const int status = ::pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class HostCliTest : public e2e::PluginFixture {
  protected:
    void expect_no_violations() { EXPECT_EQ(engine().violations().total(), 0u); }
    std::string write_template(const std::string& text) {
        const auto path = work_dir() / "template.txt";
        std::ofstream(path) << text;
        return path.string();
    }
};

TEST_F(HostCliTest, DemoRunsTheWholeRoadAndLeavesNoObjectBehind) {
    const auto run = run_host("", "demo");
    EXPECT_EQ(run.exit_code, 0) << run.output;
    for (const char* step : {"login ", "create_object ", "destroy_object ", "logout ",
                             "close_session ", "plugin_finalize "}) {
        EXPECT_THAT(run.output, HasSubstr(step));
    }
    EXPECT_THAT(run.output, HasSubstr("1 object(s)"));
    EXPECT_THAT(run.output, HasSubstr("0 object(s)"));
    EXPECT_THAT(run.output, Not(HasSubstr("ORVA_RET_")));
    expect_no_violations();
}

TEST_F(HostCliTest, ObjectsOutliveTheProcessThatCreatedThem) {
    const std::string pin = "XIMORA_PIN=userpin";
    const auto tmpl = write_template("# a labelled object\n0x3 \"cli object\"\n0x102 hex:0a0b\n");

    const auto created = run_host(pin, "object create " + tmpl);
    ASSERT_EQ(created.exit_code, 0) << created.output;
    EXPECT_THAT(created.output, HasSubstr("  object 1\n"));

    const auto found = run_host(pin, "object find " + tmpl);
    EXPECT_EQ(found.exit_code, 0) << found.output;
    EXPECT_THAT(found.output, HasSubstr("1 object(s) 1\n"));

    const auto read = run_host(pin, "object read 1 0x102");
    EXPECT_EQ(read.exit_code, 0) << read.output;
    EXPECT_THAT(read.output, HasSubstr("attribute 0x102: hex:0a0b\n"));

    EXPECT_EQ(run_host(pin, "object destroy 1").exit_code, 0);
    const auto gone = run_host(pin, "object read 1 3");
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_THAT(gone.output, HasSubstr("ORVA_RET_OBJECT_HANDLE_INVALID"));
    expect_no_violations();
}

TEST_F(HostCliTest, SessionOnTheNamedContainerReportsItsLogin) {
    std::uint32_t rc = 0;
    ASSERT_EQ(initialize(), 0u);
    const auto containers = container_list(rc);
    ASSERT_EQ(containers.size(), 2u);
    const std::string second = std::to_string(containers[1]);

    const auto run = run_host("XIMORA_PIN=userpin", "session --container " + second);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("container " + second + ", state 1, user 1"));
}

struct failure_case_t {
    const char* name;
    const char* environment;
    const char* arguments;
    int exit_code;
    const char* says;
};

class HostCliFailureTest : public HostCliTest,
                           public ::testing::WithParamInterface<failure_case_t> {};

TEST_P(HostCliFailureTest, FailsWithAClearMessage) {
    const auto& c = GetParam();
    const auto run = run_host(c.environment, c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
    EXPECT_THAT(run.output, HasSubstr(c.says));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostCliFailureTest,
    ::testing::Values(
        failure_case_t{"WrongPin", "XIMORA_PIN=nope", "session", 1, "ORVA_RET_UM_PIN_INCORRECT"},
        failure_case_t{"NoPinNoTerminal", "env -u XIMORA_PIN", "session", 1, "no PIN"},
        failure_case_t{"UnknownContainer", "XIMORA_PIN=userpin", "session --container 7", 1,
                       "RC_SLOT_ID_INVALID"},
        failure_case_t{"MissingTemplate", "XIMORA_PIN=userpin", "object create /nonexistent", 2,
                       "cannot read /nonexistent"},
        failure_case_t{"BadHandle", "XIMORA_PIN=userpin", "object destroy one", 2,
                       "handle 'one' is not a 32-bit number"},
        failure_case_t{"UnknownAction", "", "object list", 2, "ximora-host object find"},
        failure_case_t{"UnexpectedOperand", "XIMORA_PIN=userpin", "session now", 2,
                       "unexpected operand 'now'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
