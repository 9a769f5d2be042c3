#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "config/codes.h"
#include "config/wire.h"
#include "rest/rest_headers.h"

namespace {

constexpr salt_t VECTOR_SALT = {0xc0, 0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7,
                                0xc8, 0xc9, 0xca, 0xcb, 0xcc, 0xcd, 0xce, 0xcf};
constexpr app_id_t VECTOR_APP_ID = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::string H_APP_ID = "mk0Kvb069TsUD9McKrZ46Si66WyHPXEuh0xYVOHn5Do";
const std::string H_SESSION_1 = "FTklEm1ecaH5juGjy5xaGt4bzHQGWrB4NJ11F1yMGmk";

cmd_t command(std::uint32_t code, std::uint64_t partition) {
    cmd_t cmd;
    cmd.code = code;
    cmd.partition = partition;
    cmd.app_id = VECTOR_APP_ID;
    cmd.session = 1;
    cmd.request.assign(176, 0xEE);
    cmd.response.assign(1000, 0);
    return cmd;
}

TEST(RestHeaders, HashedIdentifiersMatchTheIndependentVectors) {
    EXPECT_EQ(hashed_identifier(VECTOR_SALT, VECTOR_APP_ID), H_APP_ID);
    const std::uint8_t session[] = {1, 0, 0, 0};
    EXPECT_EQ(hashed_identifier(VECTOR_SALT, session), H_SESSION_1);
}

TEST(RestHeaders, TransportPrefixAndTarget) {
    cmd_t cmd = command(ORVA_GET, 0);
    ASSERT_TRUE(write_transport_prefix(cmd));
    EXPECT_EQ(wire::get_u32(cmd.request, 0), 1000u);
    EXPECT_EQ(wire::get_u32(cmd.request, 4), 600000u);
    EXPECT_EQ(wire::get_u32(cmd.request, 8), 0u);
    EXPECT_EQ(wire::get_u32(cmd.request, 12), 1u);
    EXPECT_EQ(cmd.request[16], 0xEE);
    EXPECT_EQ(request_target(cmd), "/vHSM");
    cmd.partition = 1234;
    EXPECT_EQ(request_target(cmd), "/vHSM/1234");
    cmd.request.resize(15);
    EXPECT_FALSE(write_transport_prefix(cmd));
}

struct HeaderCase {
    const char* name;
    std::uint32_t code;
    std::uint64_t partition;
    bool multipart;
    bool mutates;
    std::pair<std::int64_t, std::int64_t> versions;
    header_map_t expected;
};

class MakeHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(MakeHeaders, BuildsExactlyTheExpectedMap) {
    const HeaderCase& c = GetParam();
    cmd_t cmd = command(c.code, c.partition);
    cmd.multipart_request = c.multipart;
    cmd.mutates_object = c.mutates;
    cmd.subcode = ORVA_GT_LABEL;
    header_map_t expected = c.expected;
    expected[DOMAIN_ID_HDR] = "dom";
    EXPECT_EQ(make_headers(cmd, VECTOR_SALT, "dom", c.versions), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakeHeaders,
    ::testing::Values(
        // No partition: no version headers and no Mutates-Object, even when flagged.
        HeaderCase{"default_partition", ORVA_CREATE_OBJECT, 0, false, true, {3, 4},
                   {{COMMAND_HDR, "ORVA_CREATE_OBJECT"}}},
        HeaderCase{"get_names_its_item", ORVA_GET, 0, false, false, {0, 0},
                   {{COMMAND_HDR, "ORVA_GET:ORVA_GT_LABEL"}}},
        HeaderCase{"unknown_code_in_decimal", 0x100, 0, false, false, {0, 0},
                   {{COMMAND_HDR, "UNKNOWN (256)"}}},
        HeaderCase{"partition_fresh_versions", ORVA_CREATE_OBJECT, 1234, false, true, {0, 0},
                   {{COMMAND_HDR, "ORVA_CREATE_OBJECT"},
                    {APP_SESSIONS_VERSION_HDR, H_APP_ID},
                    {MUTATES_OBJECT_HDR, "True"}}},
        HeaderCase{"partition_known_versions", ORVA_FIND_OBJECTS, 1234, true, false, {15, 7},
                   {{COMMAND_HDR, "ORVA_FIND_OBJECTS"},
                    {APP_SESSIONS_VERSION_HDR, H_APP_ID + ":7"},
                    {PARTITION_VERSION_HDR, "15"},
                    {MULTIPART_REQUEST_HDR, "True"},
                    {SESSION_ID_HDR, H_SESSION_1}}},
        HeaderCase{"tunnel_open_has_no_sessions_version", ORVA_XTC_OPEN_REQ_V1, 1234, false,
                   false, {2, 9},
                   {{COMMAND_HDR, "ORVA_XTC_OPEN_REQ_V1"}, {PARTITION_VERSION_HDR, "2"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestHeaders, HeaderMapIteratesInWireOrder) {
    cmd_t cmd = command(ORVA_FIND_OBJECTS, 9);
    cmd.multipart_request = true;
    cmd.mutates_object = true;
    std::vector<std::string> names;
    for (const auto& [name, value] : make_headers(cmd, VECTOR_SALT, "d", {1, 1})) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"App-Sessions-Version", "COMMAND", "Domain-ID",
                                               "Multipart-Request", "Mutates-Object",
                                               "Partition-Version", "Session-ID"}));
}

TEST(RestHeaders, RequestIds) {
    EXPECT_EQ(format_request_id("AB", 0x1a2b, 3, 0), "AB001a2b-000003");
    EXPECT_EQ(format_request_id("AB", 0x1a2b, 3, 2), "AB001a2b-000003-02");
    EXPECT_EQ(format_request_id("", 0x1a2b, 1, 0), "001a2b-000001");
    EXPECT_EQ(format_request_id("", 0x1a2b, 1, 1), "001a2b-000001-01");
    EXPECT_LE(format_request_id("AB", 0xffffffff, 0xffffffff, 99).size(), 31u);

    const struct {
        const char* variable;
        const char* prefix;
    } prefixes[] = {{nullptr, ""}, {"", ""},     {"Z", "Z"},  {"XYZ", "XY"},
                    {" A", ""},    {"A B", "A"}, {"\tQ", ""}, {"7\n", "7"}};
    for (const auto& p : prefixes) {
        EXPECT_EQ(request_id_prefix(p.variable), p.prefix) << (p.variable ? p.variable : "null");
    }
}

TEST(RestHeaders, RetryAfterPauses) {
    const struct {
        const char* value;
        long millis;
    } cases[] = {{"3", 3000}, {"10", 5000},        {"0", 200}, {"x", 200}, {" 2 ", 2000},
                 {"", 200},   {"1", 1000},          {"5", 5000}, {"-1", 200}, {"2.5", 200},
                 {"99999999999999999999999", 5000}};
    for (const auto& c : cases) {
        EXPECT_EQ(retry_after_pause(c.value).count(), c.millis) << '"' << c.value << '"';
    }
}

class PartitionVersions : public ::testing::Test {
protected:
    void SetUp() override { versions_.reset(std::vector<std::uint64_t>{1234}); }
    void apply(std::optional<std::string> pv, std::optional<std::string> asv) {
        versions_.update(1234, pv, asv, [this](std::uint64_t serial) { kept_.insert(serial); });
    }
    partition_versions versions_;
    std::set<std::uint64_t> kept_;
};

TEST_F(PartitionVersions, PartitionVersionOnlyRises) {
    apply("15", std::nullopt);
    apply("12", std::nullopt);
    EXPECT_EQ(versions_.get(1234).first, 15);
    apply("0", std::nullopt);
    apply("abc", std::nullopt);
    EXPECT_EQ(versions_.get(1234).first, 15);
    EXPECT_TRUE(kept_.empty());
}

TEST_F(PartitionVersions, SessionsVersionRisesOrResetsAndKeepsThePartitionAlive) {
    apply(std::nullopt, "anything:7");
    EXPECT_EQ(versions_.get(1234).second, 7);
    EXPECT_EQ(kept_, (std::set<std::uint64_t>{1234}));
    kept_.clear();
    apply(std::nullopt, "x:5");
    EXPECT_EQ(versions_.get(1234).second, 7);
    EXPECT_TRUE(kept_.empty());
    apply(std::nullopt, "x:0");
    EXPECT_EQ(versions_.get(1234).second, 0);
    EXPECT_EQ(kept_.size(), 1u);
    for (const char* malformed : {"7", "a:b:9", "x:", "x:9z"}) {
        apply(std::nullopt, malformed);
        EXPECT_EQ(versions_.get(1234).second, 0) << malformed;
    }
}

TEST_F(PartitionVersions, UnknownPartitionsAreNeitherAddedNorKeptAlive) {
    versions_.update(99, std::string("5"), std::string("x:3"),
                     [this](std::uint64_t serial) { kept_.insert(serial); });
    EXPECT_EQ(versions_.get(99), (std::pair<std::int64_t, std::int64_t>{0, 0}));
    EXPECT_TRUE(kept_.empty());
}

}  // namespace
