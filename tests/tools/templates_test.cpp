// The host's attribute templates: the text form it reads and the bytes it sends.
#include "tools/host/templates.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using bytes = std::vector<std::uint8_t>;
using host::attribute_t;

struct value_case_t {
    const char* line;
    std::uint32_t type;
    bytes value;
};

class TemplateLineTest : public ::testing::TestWithParam<value_case_t> {};

TEST_P(TemplateLineTest, ReadsTypeAndValue) {
    const auto& c = GetParam();
    const auto attributes = host::parse_template_text(c.line);
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_EQ(attributes[0].type, c.type);
    EXPECT_EQ(attributes[0].value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TemplateLineTest,
    ::testing::Values(value_case_t{"3 \"my key\"", 3, {'m', 'y', ' ', 'k', 'e', 'y'}},
                      value_case_t{"0x102 hex:0A0b", 0x102, {0x0A, 0x0B}},
                      value_case_t{"0x102 hex:", 0x102, {}},
                      value_case_t{"0x100 u32:0x01020304", 0x100, {4, 3, 2, 1}},
                      value_case_t{"0x161\tu32:16", 0x161, {16, 0, 0, 0}},
                      value_case_t{"  0x2   true  ", 2, {1}},
                      value_case_t{"0xFFFFFFFF false", 0xFFFFFFFF, {0}},
                      value_case_t{R"(3 "a \"q\" \\ b")", 3, {'a', ' ', '"', 'q', '"', ' ', '\\', ' ', 'b'}},
                      value_case_t{"3 \"\"", 3, {}}));

class TemplateErrorTest : public ::testing::TestWithParam<const char*> {};

TEST_P(TemplateErrorTest, NamesTheLineOfTheFirstError) {
    const std::string text = std::string("# first line\n3 \"fine\"\n") + GetParam() + "\n0x4 bad";
    try {
        host::parse_template_text(text);
        FAIL() << "accepted: " << GetParam();
    } catch (const std::invalid_argument& error) {
        EXPECT_THAT(error.what(), ::testing::StartsWith("line 3: "));
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, TemplateErrorTest,
                         ::testing::Values("3", "label \"x\"", "0x100000000 true", "-1 true",
                                           "3 yes", "3 \"open", "3 \"a\"b\"", "3 \"bad \\n\"",
                                           "3 hex:abc", "3 hex:zz", "3 u32:4294967296",
                                           "3 u32:", "3 TRUE"));

TEST(TemplateTest, CommentsAndBlankLinesAreSkippedAndOrderKept) {
    const auto attributes =
        host::parse_template_text("\n# label\n0x3 \"k\"\r\n\n   # id\n0x102 hex:ff\n");
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0].type, 3u);
    EXPECT_EQ(attributes[1].type, 0x102u);
    EXPECT_EQ(attributes[1].value, bytes{0xFF});
}

TEST(TemplateTest, SerialisesFormatCountAndAttributesLittleEndian) {
    const auto out = host::serialise_template({{0x3, {'a', 'b'}}, {0x80000005, {}}});
    const bytes expected = {12, 0, 0, 0, 2, 0, 0, 0,                        // format, count
                            3, 0, 0, 0, 2, 0, 0, 0, 'a', 'b',               // label "ab"
                            0x05, 0, 0, 0x80, 0, 0, 0, 0};                  // empty value
    EXPECT_EQ(out, expected);
    EXPECT_EQ(host::serialise_template({}), (bytes{12, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TemplateTest, RendersHexAndPrintableText) {
    EXPECT_EQ(host::render_value(bytes{'o', 'k'}), "hex:6f6b \"ok\"");
    EXPECT_EQ(host::render_value(bytes{0x10, 0, 0, 0}), "hex:10000000");
    EXPECT_EQ(host::render_value(bytes{}), "hex:");
}

TEST(TemplateTest, ParsesU32InDecimalAndHexOnly) {
    struct case_t {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const case_t cases[] = {{"0", true, 0},           {"4294967295", true, 0xFFFFFFFF},
                            {"0XfF", true, 255},      {"4294967296", false, 0},
                            {"0x", false, 0},         {"", false, 0},
                            {"12a", false, 0},        {"-1", false, 0},
                            {"+1", false, 0},         {" 1", false, 0}};
    for (const auto& c : cases) {
        std::uint32_t value = 0;
        EXPECT_EQ(host::parse_u32(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

}  // namespace
