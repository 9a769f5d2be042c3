#include "config/MarlevonConfiguration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/config/config_test_support.h"

namespace {

using config_test::ConfigFileTest;
using config_test::ScopedEnv;

constexpr char UNTOUCHED[] = "untouched";

struct GrammarCase {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> expected;  // nullopt: reported absent
};

void PrintTo(const GrammarCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<GrammarCase> GRAMMAR_CASES = {
    // Section headers.
    {"MinimalEntry", "REST={ServerPort=1}", "REST", "ServerPort", "1"},
    {"TypicalFile", "REST = {\n   ServerPort = 443;\n   ClientPoolSize = 8;\n}\n", "REST",
     "ClientPoolSize", "8"},
    {"SecondSectionOfFile", "REST = {\n A = 1;\n}\nXTC = {\n TimeoutSec = 120;\n}\n", "XTC",
     "TimeoutSec", "120"},
    {"HeaderSpreadOverLines", "REST\n=\n\t{\nK=5\n}", "REST", "K", "5"},
    {"HeaderWithoutEqualsSkipped", "REST {\n K = 1;\n}\nREST = {\n K = 2;\n}", "REST", "K", "2"},
    {"HeaderWithTwoEqualsSkipped", "REST == {\n K = 1;\n}\nREST = {\n K = 2;\n}", "REST", "K", "2"},
    {"HeaderWithOtherCharSkipped", "REST = x {\n K = 1;\n}\nREST = {\n K = 2;\n}", "REST", "K",
     "2"},
    {"HeaderAfterRejectedOccurrence", "XREST = {\n K = 1;\n}\nREST = {\n K = 2;\n}", "REST", "K",
     "2"},
    // The search resumes one past the character that broke the header, here the 'R'.
    {"ResumesPastBreakingChar", "REST = REST = {\n K = 1;\n}", "REST", "K", std::nullopt},
    {"HeaderAfterTabNotFound", "\tREST = {\n K = 1;\n}", "REST", "K", std::nullopt},
    {"HeaderAfterSpaceFound", "  REST = {\n K = 1;\n}", "REST", "K", "1"},
    {"HeaderAfterCrFound", "X = {}\rREST = {\r K = 1;\r}", "REST", "K", "1"},
    {"HeaderInsideLongerNameBefore", "MYREST = {\n K = 1;\n}", "REST", "K", std::nullopt},
    {"HeaderInsideLongerNameAfter", "RESTX = {\n K = 1;\n}", "REST", "K", std::nullopt},
    {"HeaderCaseSensitive", "rest = {\n K = 1;\n}", "REST", "K", std::nullopt},
    {"HeaderAtEndOfText", "K = 1;\nREST =", "REST", "K", std::nullopt},
    {"KeyOnlyInSecondSameSection", "REST = {\n A = 1;\n}\nREST = {\n B = 2;\n}", "REST", "B",
     std::nullopt},
    {"KeyInOtherSection", "XTC = {\n K = 1;\n}\nREST = {\n A = 2;\n}", "REST", "K", std::nullopt},
    {"KeyAfterClosingBrace", "REST = {\n A = 1;\n}\nK = 2;\n", "REST", "K", std::nullopt},
    {"NoClosingBrace", "REST = {\n K = v", "REST", "K", "v"},
    // Keys.
    {"KeySuffixOfLongerName", "REST = {\n ServerPort = 1;\n}", "REST", "Port", std::nullopt},
    {"KeyPrefixOfLongerName", "REST = {\n ServerName = x;\n}", "REST", "Server", std::nullopt},
    {"LongerNameThenKey", "REST = {\n ServerName = x;\n Server = y;\n}", "REST", "Server", "y"},
    {"KeyAfterTabNotFound", "REST = {\n\tK = 1;\n}", "REST", "K", std::nullopt},
    {"TabBeforeEqualsNotFound", "REST = {\n K\t= 1;\n}", "REST", "K", std::nullopt},
    {"KeyAfterNumberSign", "REST = {\n#K = 1;\n}", "REST", "K", std::nullopt},
    {"KeyAfterNumberSignAndSpace", "REST = {\n# K = 1;\n}", "REST", "K", "1"},
    {"KeyRightAfterBrace", "REST = {K = 1;}", "REST", "K", "1"},
    {"KeyCaseSensitive", "REST = {\n serverport = 1;\n}", "REST", "ServerPort", std::nullopt},
    {"FirstEntryWins", "REST = {\n K = 1;\n K = 2;\n}", "REST", "K", "1"},
    // Values.
    {"ValueWithEquals", "REST = {\n K = a=b=c;\n}", "REST", "K", "a=b=c"},
    {"ValueWithInnerSpaces", "REST = {\n K =  \t two words \t ;\n}", "REST", "K", "two words"},
    {"ValueEndsAtCrLf", "REST = {\r\n K = v\r\n}", "REST", "K", "v"},
    {"ValueEndsAtBrace", "REST = { K = v }", "REST", "K", "v"},
    {"EmptyValueIsFound", "REST = {\n K = ;\n}", "REST", "K", ""},
    {"EmptyValueAtLineEnd", "REST = {\n K =\n}", "REST", "K", ""},
    {"ControlCharsTrimmed", "REST = {\n K = \x01v\x7f;\n}", "REST", "K", "v"},
    {"HighBytesKept", "REST = {\n K = \xC3\xA9t\xC3\xA9 ;\n}", "REST", "K", "\xC3\xA9t\xC3\xA9"},
    {"EmptySectionName", "= {\n K = 1;\n}", "", "K", std::nullopt},
    {"EmptyKey", "REST = {\n = 1;\n}", "REST", "", std::nullopt},
};

class GrammarTest : public ConfigFileTest, public ::testing::WithParamInterface<GrammarCase> {};

TEST_P(GrammarTest, LooksUpValue) {
    const GrammarCase& c = GetParam();
    write_config(c.text);
    MarlevonConfiguration config;
    char out[64];
    std::strcpy(out, UNTOUCHED);
    const bool found = config.GetConfigurationInfo(c.section, c.key, out, sizeof(out));
    ASSERT_EQ(found, c.expected.has_value());
    EXPECT_EQ(std::string(out), c.expected.value_or(UNTOUCHED));
}

INSTANTIATE_TEST_SUITE_P(Cases, GrammarTest, ::testing::ValuesIn(GRAMMAR_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigFileTest, EmptyOrMissingFileReportsAbsentAndLeavesOutputAlone) {
    MarlevonConfiguration config;
    char out[16];
    std::strcpy(out, UNTOUCHED);
    EXPECT_FALSE(config.GetConfigurationEntry("REST", "K", out, sizeof(out)));  // missing
    write_config("");
    EXPECT_FALSE(config.GetConfigurationEntry("REST", "K", out, sizeof(out)));  // empty
    EXPECT_STREQ(out, UNTOUCHED);
}

TEST_F(ConfigFileTest, ReadsEachLookupAfresh) {
    MarlevonConfiguration config;
    char out[16];
    write_config("REST = { K = 1 }");
    ASSERT_TRUE(config.GetConfigurationEntry("REST", "K", out, sizeof(out)));
    EXPECT_STREQ(out, "1");
    write_config("REST = { K = 2 }");
    ASSERT_TRUE(config.GetConfigurationEntry("REST", "K", out, sizeof(out)));
    EXPECT_STREQ(out, "2");
}

TEST_F(ConfigFileTest, TruncatesToOutputSize) {
    const std::string value(300, 'v');
    write_config("REST = {\n K = " + value + ";\n}");
    MarlevonConfiguration config;
    struct {
        std::int32_t size;
        std::size_t expected_length;
    } const cases[] = {{200, 199}, {301, 300}, {300, 299}, {1, 0}};
    for (const auto& c : cases) {
        // Guard bytes after the declared size catch any write past it.
        std::vector<char> out(static_cast<std::size_t>(c.size) + 8, '#');
        ASSERT_TRUE(config.GetConfigurationEntry("REST", "K", out.data(), c.size)) << c.size;
        EXPECT_EQ(std::string(out.data()), value.substr(0, c.expected_length)) << c.size;
        EXPECT_EQ(std::string(out.data() + c.size, 8), std::string(8, '#')) << c.size;
    }
}

TEST_F(ConfigFileTest, RejectsUnusableArgumentsWithoutWriting) {
    write_config("REST = { K = 1 }");
    MarlevonConfiguration config;
    char out[16];
    std::strcpy(out, UNTOUCHED);
    EXPECT_FALSE(config.GetConfigurationEntry("REST", "K", out, 0));
    EXPECT_FALSE(config.GetConfigurationEntry("REST", "K", out, -1));
    EXPECT_FALSE(config.GetConfigurationEntry(nullptr, "K", out, sizeof(out)));
    EXPECT_FALSE(config.GetConfigurationEntry("REST", nullptr, out, sizeof(out)));
    EXPECT_FALSE(config.GetConfigurationEntry("REST", "K", nullptr, sizeof(out)));
    EXPECT_STREQ(out, UNTOUCHED);
}

TEST_F(ConfigFileTest, ReadConfigurationFileReturnsBytesAndNul) {
    write_config("REST = {}\n");
    MarlevonConfiguration config;
    char* data = nullptr;
    std::uint64_t size = 0;
    ASSERT_TRUE(config.ReadConfigurationFile(config_path().c_str(), &data, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(data, size + 1), std::string("REST = {}\n\0", 11));
    delete[] data;

    EXPECT_FALSE(config.ReadConfigurationFile(nullptr, &data, &size));
    EXPECT_FALSE(config.ReadConfigurationFile(config_path().c_str(), nullptr, &size));
    EXPECT_FALSE(config.ReadConfigurationFile(config_path().c_str(), &data, nullptr));
    // A directory opens but cannot be read.
    EXPECT_FALSE(config.ReadConfigurationFile(dir_.path().c_str(), &data, &size));
}

struct FileNameCase {
    const char* name;
    std::optional<std::string> env_value;
    std::string expected;
};

void PrintTo(const FileNameCase& c, std::ostream* os) {
    *os << c.name;
}

class FileNameTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(FileNameTest, FollowsEnvironment) {
    ScopedEnv env;
    const FileNameCase& c = GetParam();
    if (c.env_value) {
        env.set("MarlevonConfigurationPath", *c.env_value);
    } else {
        env.unset("MarlevonConfigurationPath");
    }
    MarlevonConfiguration config;
    EXPECT_EQ(std::string(config.GetConfFileName()), c.expected);
    // Fixed at construction: a later change is not seen by this object.
    env.set("MarlevonConfigurationPath", "/elsewhere");
    EXPECT_EQ(std::string(config.GetConfFileName()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileNameTest,
    ::testing::Values(FileNameCase{"Unset", std::nullopt, "/etc/Marlevon.conf"},
                      FileNameCase{"Directory", "/opt/cfg", "/opt/cfg/Marlevon.conf"},
                      FileNameCase{"TrailingSlash", "/opt/cfg/", "/opt/cfg//Marlevon.conf"},
                      FileNameCase{"Empty", "", "/Marlevon.conf"},
                      FileNameCase{"LongValueCut", "/" + std::string(299, 'd'),
                                   "/" + std::string(255, 'd') + "/Marlevon.conf"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TrimCase {
    std::string text;
    std::string trimmed;
};

TEST(OstlTest, TrimsSpaceAndControlCharactersOnly) {
    const TrimCase cases[] = {
        {"  a b \t\n", "a b"},
        {"\r\n\v\f x", "x"},
        {"\x01\x1f y \x7f", "y"},
        {"\xA0z\xA0", "\xA0z\xA0"},
        {"", ""},
        {" \t ", ""},
    };
    for (const auto& c : cases) {
        std::string buffer = c.text;
        EXPECT_EQ(std::string(Ostl_TrimWhiteSpaces(buffer.data())), c.trimmed) << c.text;
    }
    std::string text = "  lead";
    EXPECT_EQ(Ostl_SkipWhiteSpaces(text.data()), text.data() + 2);
    std::string trailing = "  tail \n";
    Ostl_RemoveTrailingWhitespaces(trailing.data());
    EXPECT_STREQ(trailing.c_str(), "  tail");
}

}  // namespace
