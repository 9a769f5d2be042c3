#include "config/XmConfiguration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/config/config_test_support.h"

namespace {

using config_test::ConfigFileTest;

constexpr const char* REST_KEYS[] = {
    "ServerName",
    "ServerPort",
    "ClientPoolSize",
    "ClientEofRetryCount",
    "ClientConnectRetryCount",
    "ClientConnectIntervalMs",
    "ClientTimeoutSec",
    "CABundleFile",
    "SSLClientSideVerifyFile",
    "SSLClientSideHostnameCheckEnabled",
    "XMAppSpecificData",
    "AuthTokenRetrievalEnabled",
    "AuthTokenConfigURI",
    "AuthTokenClientId",
    "AuthTokenClientSecret",
    "AppLogLevel",
    "ClientProxy",
    "HTTPS_PROXY",
    "https_proxy",
};

// Clears every variable a getter could consult, so that the machine's environment (a proxy
// on a CI runner, say) cannot leak into the results.
class SettingsTest : public ConfigFileTest {
  protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        for (const char* key : REST_KEYS) {
            env_.unset(key);
        }
    }
};

template <typename T>
struct GetterCase {
    const char* key;
    T (XmConfiguration::*getter)() const;
    T default_value;
    std::string configured_text;
    T configured_value;
};

// Each getter reads its own key, and falls back to its own default.
TEST_F(SettingsTest, EveryRestGetterReadsItsKeyOrDefault) {
    const GetterCase<std::string> strings[] = {
        {"ServerName", &XmConfiguration::GetRestServerName, "127.0.0.1", "svc", "svc"},
        {"CABundleFile", &XmConfiguration::GetRestCABundleFile, "", "/ca", "/ca"},
        {"XMAppSpecificData", &XmConfiguration::GetRestXMAppSpecificData, "", "d", "d"},
        {"AuthTokenConfigURI", &XmConfiguration::GetRestAuthTokenConfigURI, "", "u", "u"},
        {"AuthTokenClientId", &XmConfiguration::GetRestAuthTokenClientId, "", "id", "id"},
        {"AuthTokenClientSecret", &XmConfiguration::GetRestAuthTokenClientSecret, "", "s", "s"},
        {"ClientProxy", &XmConfiguration::GetRestClientProxy, "", "p:1", "p:1"},
    };
    const GetterCase<std::int64_t> numbers[] = {
        {"ClientPoolSize", &XmConfiguration::GetRestClientPoolSize, 32, "3", 3},
        {"ClientEofRetryCount", &XmConfiguration::GetRestClientEofRetryCount, 15, "4", 4},
        {"ClientConnectRetryCount", &XmConfiguration::GetRestClientConnectRetryCount, 60, "5", 5},
        {"ClientConnectIntervalMs", &XmConfiguration::GetRestClientConnectIntervalMs, 1000, "6", 6},
        {"ClientTimeoutSec", &XmConfiguration::GetRestClientTimeoutSec, 600, "7", 7},
    };
    const GetterCase<bool> flags[] = {
        {"SSLClientSideHostnameCheckEnabled",
         &XmConfiguration::GetRestSSLClientSideHostnameCheckEnabled, true, "false", false},
        {"AuthTokenRetrievalEnabled", &XmConfiguration::GetRestAuthTokenRetrievalEnabled, false,
         "TRUE", true},
    };
    const XmConfiguration config;
    auto check = [&](const auto& cases) {
        for (const auto& c : cases) {
            EXPECT_EQ((config.*c.getter)(), c.default_value) << c.key;
            write_config(std::string("REST = {\n ") + c.key + " = " + c.configured_text + ";\n}");
            EXPECT_EQ((config.*c.getter)(), c.configured_value) << c.key << " from file";
            write_config("");
        }
    };
    check(strings);
    check(numbers);
    check(flags);
    EXPECT_EQ(config.GetRestServerPort(), 9001);
}

TEST_F(SettingsTest, EnvironmentOverridesFileEvenWhenEmpty) {
    write_config("REST = {\n ServerPort = 8000;\n ServerName = file;\n}");
    XmConfiguration config;
    EXPECT_EQ(config.GetRestServerPort(), 8000);
    env_.set("ServerPort", "7000");
    EXPECT_EQ(config.GetRestServerPort(), 7000);
    env_.set("ServerPort", "");
    EXPECT_EQ(config.GetRestServerPort(), 9001);
    env_.set("ServerName", "");
    EXPECT_EQ(config.GetRestServerName(), "");
    // The section plays no part when the variable is set.
    EXPECT_EQ(config.getConfiguredValueOrDefault("NOSUCH", "ServerName", "d"), "");
    EXPECT_EQ(config.getConfiguredValueOrDefault("NOSUCH", "Other", "d"), "d");
}

TEST_F(SettingsTest, FileValueUpTo2047Characters) {
    write_config("REST = {\n XMAppSpecificData = " + std::string(3000, 'x') + ";\n}");
    EXPECT_EQ(XmConfiguration().GetRestXMAppSpecificData(), std::string(2047, 'x'));
}

struct NumberCase {
    std::string text;
    std::int32_t port;
    std::int64_t pool_size;
};

TEST_F(SettingsTest, NumbersUseDecimalPrefix) {
    constexpr auto I64_MAX = std::numeric_limits<std::int64_t>::max();
    constexpr auto I64_MIN = std::numeric_limits<std::int64_t>::min();
    constexpr auto I32_MAX = std::numeric_limits<std::int32_t>::max();
    const NumberCase cases[] = {
        {"8443", 8443, 8443},
        {"8443abc", 8443, 8443},
        {"  +42", 42, 42},
        {"0", 9001, 0},
        {"-5", 9001, -5},
        {"abc", 9001, 0},
        {"", 9001, 0},
        {"0x10", 9001, 0},
        {"4294976297", I32_MAX, 4294976297},
        {"99999999999999999999", I32_MAX, I64_MAX},
        {"-99999999999999999999", 9001, I64_MIN},
    };
    XmConfiguration config;
    for (const auto& c : cases) {
        env_.set("ServerPort", c.text);
        env_.set("ClientPoolSize", c.text);
        EXPECT_EQ(config.GetRestServerPort(), c.port) << '"' << c.text << '"';
        EXPECT_EQ(config.GetRestClientPoolSize(), c.pool_size) << '"' << c.text << '"';
    }
}

TEST_F(SettingsTest, BooleansAreExactlyTrueIgnoringCase) {
    const std::pair<std::string, bool> cases[] = {
        {"true", true}, {"TRUE", true}, {"True", true},   {"tRuE", true},
        {"yes", false}, {"1", false},   {"true ", false}, {" true", false},
        {"", false},    {"tru", false}, {"truee", false}, {"false", false},
    };
    XmConfiguration config;
    for (const auto& [text, expected] : cases) {
        env_.set("SSLClientSideHostnameCheckEnabled", text);
        env_.set("AuthTokenRetrievalEnabled", text);
        EXPECT_EQ(config.GetRestSSLClientSideHostnameCheckEnabled(), expected) << text;
        EXPECT_EQ(config.GetRestAuthTokenRetrievalEnabled(), expected) << text;
    }
}

TEST(SeverityTest, MapsTextToLevel) {
    const std::pair<std::string, long> cases[] = {
        {"trace", 0},   {"debug", 1},   {"info", 2},    {"information", 2}, {"1", 2},
        {"warning", 3}, {"warn", 3},    {"error", 4},   {"fatal", 5},       {"critical", 5},
        {"", 6},        {"0", 6},       {"disable", 6}, {"disabled", 6},    {"INFO", 2},
        {"Fatal", 2},   {"verbose", 2}, {"2", 2},       {" fatal", 2},
    };
    for (const auto& [text, level] : cases) {
        EXPECT_EQ(XmConfiguration::severityLevel2Long(text), level) << '"' << text << '"';
    }
}

struct AppLogLevelCase {
    const char* name;
    std::optional<std::string> env_value;
    std::string file_text;
    long expected;
};

void PrintTo(const AppLogLevelCase& c, std::ostream* os) {
    *os << c.name;
}

class AppLogLevelTest : public SettingsTest,
                        public ::testing::WithParamInterface<AppLogLevelCase> {};

// The level is kept for the life of the process, so each case runs in a fresh process.
TEST_P(AppLogLevelTest, ComputedOnceFromConfiguration) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const AppLogLevelCase& c = GetParam();
    write_config(c.file_text);
    if (c.env_value) {
        env_.set("AppLogLevel", *c.env_value);
    }
    EXPECT_EXIT(
        {
            const long first = XmConfiguration().GetRestAppLogLevel();
            ::setenv("AppLogLevel", "trace", 1);
            const long later = XmConfiguration().GetRestAppLogLevel();
            std::filesystem::remove_all(dir_.path());  // exit() skips the fixture's cleanup
            std::exit(first == c.expected && later == c.expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, AppLogLevelTest,
                         ::testing::Values(AppLogLevelCase{"DefaultIsFatal", std::nullopt, "", 5},
                                           AppLogLevelCase{"FromFile", std::nullopt,
                                                           "REST = { AppLogLevel = warn }", 3},
                                           AppLogLevelCase{"EnvironmentFirst", "debug",
                                                           "REST = { AppLogLevel = warn }", 1},
                                           AppLogLevelCase{"EmptyDisables", "", "", 6}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ProxyCase {
    std::optional<std::string> client_proxy_env;
    std::optional<std::string> https_proxy_env;
    std::optional<std::string> file_value;
    std::string expected;
};

TEST_F(SettingsTest, ProxyLookupOrder) {
    const ProxyCase cases[] = {
        {"env:1", "https:2", "file:3", "env:1"},
        {"", "https:2", "file:3", ""},
        {std::nullopt, "https:2", "file:3", "https:2"},
        {std::nullopt, "", "file:3", ""},
        {std::nullopt, std::nullopt, "file:3", "file:3"},
        {std::nullopt, std::nullopt, std::string(300, 'p'), std::string(199, 'p')},
        {std::nullopt, std::nullopt, std::nullopt, ""},
    };
    env_.set("https_proxy", "lower:4");  // never consulted
    XmConfiguration config;
    for (const auto& c : cases) {
        c.client_proxy_env ? env_.set("ClientProxy", *c.client_proxy_env)
                           : env_.unset("ClientProxy");
        c.https_proxy_env ? env_.set("HTTPS_PROXY", *c.https_proxy_env) : env_.unset("HTTPS_PROXY");
        write_config(c.file_value ? "REST = {\n ClientProxy = " + *c.file_value + ";\n}" : "");
        EXPECT_EQ(config.GetRestClientProxy(), c.expected);
    }
}

TEST_F(SettingsTest, CABundleFallsBackToVerifyFile) {
    write_config("REST = {\n SSLClientSideVerifyFile = /file/verify.pem;\n}");
    XmConfiguration config;
    EXPECT_EQ(config.GetRestCABundleFile(), "/file/verify.pem");
    env_.set("CABundleFile", "");
    EXPECT_EQ(config.GetRestCABundleFile(), "/file/verify.pem");
    env_.set("SSLClientSideVerifyFile", "/env/verify.pem");
    EXPECT_EQ(config.GetRestCABundleFile(), "/env/verify.pem");
    env_.set("CABundleFile", "/env/bundle.pem");
    EXPECT_EQ(config.GetRestCABundleFile(), "/env/bundle.pem");
}

std::string cert_entries(const std::vector<std::string>& suffixes) {
    std::string text = "XTC = {\n";
    for (const auto& suffix : suffixes) {
        text += " PartitionCertPath" + suffix + " = /p" + suffix + ".pem;\n";
    }
    return text + "}\n";
}

TEST_F(SettingsTest, CertPathsStopAtFirstGap) {
    XmConfiguration config;
    EXPECT_TRUE(config.GetXtcPartitionCertPaths().empty());
    write_config(cert_entries({"00", "01", "03"}));
    EXPECT_EQ(config.GetXtcPartitionCertPaths(),
              (std::vector<std::string>{"/p00.pem", "/p01.pem"}));
    write_config(cert_entries({"1"}));
    EXPECT_TRUE(config.GetXtcPartitionCertPaths().empty());
    write_config("XTC = {\n PartitionCertPath00 = ;\n}");
    EXPECT_EQ(config.GetXtcPartitionCertPaths(), std::vector<std::string>{""});
}

TEST_F(SettingsTest, CertPathsAtMostHundred) {
    std::vector<std::string> suffixes;
    for (int n = 0; n <= 100; ++n) {
        suffixes.push_back((n < 10 ? "0" : "") + std::to_string(n));
    }
    write_config(cert_entries(suffixes));
    const std::vector<std::string> paths = XmConfiguration().GetXtcPartitionCertPaths();
    ASSERT_EQ(paths.size(), 100u);
    EXPECT_EQ(paths[9], "/p09.pem");
    EXPECT_EQ(paths[99], "/p99.pem");
}

TEST_F(SettingsTest, XtcValuesUpTo4095Characters) {
    const std::string longer(5000, 'c');
    write_config("XTC = {\n PartitionCertPath00 = " + longer + ";\n PartitionCAPath = " + longer +
                 ";\n}");
    XmConfiguration config;
    EXPECT_EQ(config.GetXtcPartitionCertPaths(), std::vector<std::string>{longer.substr(0, 4095)});
    EXPECT_EQ(config.GetXtcPartitionCAPath(), longer.substr(0, 4095));
}

TEST_F(SettingsTest, XtcSettingsIgnoreEnvironment) {
    env_.set("PartitionCertPath00", "/env.pem");
    env_.set("PartitionCAPath", "/env-ca.pem");
    env_.set("TimeoutSec", "30");
    XmConfiguration config;
    EXPECT_TRUE(config.GetXtcPartitionCertPaths().empty());
    EXPECT_EQ(config.GetXtcPartitionCAPath(), "");
    EXPECT_EQ(config.GetXtcTimeout(), -1);
    write_config("XTC = {\n PartitionCAPath = /ca.pem;\n TimeoutSec = 45;\n}");
    EXPECT_EQ(config.GetXtcPartitionCAPath(), "/ca.pem");
    EXPECT_EQ(config.GetXtcTimeout(), 45);
}

TEST_F(SettingsTest, TimeoutOnlyFromOneTo600) {
    const std::pair<std::string, std::int64_t> cases[] = {
        {"600", 600}, {"1", 1},    {"+30", 30}, {"601", -1}, {"0", -1},
        {"-5", -1},   {"12a", -1}, {"", -1},    {"1 2", -1}, {"99999999999999999999", -1},
    };
    XmConfiguration config;
    for (const auto& [text, expected] : cases) {
        write_config("XTC = {\n TimeoutSec = " + text + ";\n}");
        EXPECT_EQ(config.GetXtcTimeout(), expected) << '"' << text << '"';
    }
}

template <typename T>
struct StrictCase {
    std::string text;
    std::optional<T> expected;
};

TEST(StringToOptionalTest, SignedSixtyFourBit) {
    using L = std::numeric_limits<std::int64_t>;
    const StrictCase<std::int64_t> cases[] = {
        {"0", 0},
        {"+5", 5},
        {"-5", -5},
        {"007", 7},
        {"9223372036854775807", L::max()},
        {"-9223372036854775808", L::min()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"1a", std::nullopt},
        {"--1", std::nullopt},
        {"+-1", std::nullopt},
        {"0x1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stringToOptional<std::int64_t>(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(StringToOptionalTest, UnsignedNegatesModuloWidth) {
    using L = std::numeric_limits<std::uint64_t>;
    const StrictCase<std::uint64_t> cases[] = {
        {"18446744073709551615", L::max()},
        {"18446744073709551616", std::nullopt},
        {"-1", L::max()},
        {"-18446744073709551615", 1},
        {"-18446744073709551616", std::nullopt},
        {"-0", 0},
        {"+12", 12},
        {"- 1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stringToOptional<std::uint64_t>(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(StringToOptionalTest, NarrowTypes) {
    EXPECT_EQ(stringToOptional<std::int32_t>("2147483647"), 2147483647);
    EXPECT_EQ(stringToOptional<std::int32_t>("2147483648"), std::nullopt);
    EXPECT_EQ(stringToOptional<std::int32_t>("-2147483648"),
              std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(stringToOptional<std::uint8_t>("255"), 255);
    EXPECT_EQ(stringToOptional<std::uint8_t>("256"), std::nullopt);
    EXPECT_EQ(stringToOptional<std::uint8_t>("-1"), 255);
    EXPECT_EQ(stringToOptional<std::int8_t>("-128"), -128);
    EXPECT_EQ(stringToOptional<std::int8_t>("128"), std::nullopt);
}

}  // namespace
