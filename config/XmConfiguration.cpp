#include "config/XmConfiguration.h"

#include <cstdio>
#include <cstdlib>
#include <locale>
#include <map>
#include <mutex>

namespace {

// Buffer sizes of the lookups, in characters including the NUL.
constexpr std::int32_t REST_VALUE_CAPACITY = 2048;
constexpr std::int32_t PROXY_VALUE_CAPACITY = 200;
constexpr std::int32_t XTC_VALUE_CAPACITY = 4096;

constexpr std::int32_t DEFAULT_SERVER_PORT = 9001;
constexpr int MAX_PARTITION_CERTS = 100;
constexpr std::int64_t MIN_XTC_TIMEOUT_SEC = 1;
constexpr std::int64_t MAX_XTC_TIMEOUT_SEC = 600;
constexpr std::int64_t NO_XTC_TIMEOUT = -1;

// strtoll semantics: leading white space, optional sign, digits up to the first non-digit,
// 0 without digits, saturation at the int64 limits.
std::int64_t decimal_prefix(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

bool is_true_text(const std::string& text) {
    static constexpr char TRUE_TEXT[] = "true";
    if (text.size() != sizeof(TRUE_TEXT) - 1) {
        return false;
    }
    const std::locale locale;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(text[i], locale) != std::tolower(TRUE_TEXT[i], locale)) {
            return false;
        }
    }
    return true;
}

const char* env_or_null(const char* name) {
    return std::getenv(name);
}

}  // namespace

std::string XmConfiguration::getConfiguredValueOrDefault(const std::string& section,
                                                         const std::string& key,
                                                         const std::string& default_value) const {
    if (const char* from_env = env_or_null(key.c_str())) {
        return from_env;
    }
    char value[REST_VALUE_CAPACITY];
    if (GetConfigurationInfo(section.c_str(), key.c_str(), value, REST_VALUE_CAPACITY)) {
        return value;
    }
    return default_value;
}

long XmConfiguration::severityLevel2Long(const std::string& text) {
    static const std::map<std::string, long> LEVELS = {
        {"trace", LEVEL_TRACE},      {"debug", LEVEL_DEBUG},
        {"info", LEVEL_INFO},        {"information", LEVEL_INFO},
        {"1", LEVEL_INFO},           {"warning", LEVEL_WARNING},
        {"warn", LEVEL_WARNING},     {"error", LEVEL_ERROR},
        {"fatal", LEVEL_FATAL},      {"critical", LEVEL_FATAL},
        {"", LEVEL_DISABLED},        {"0", LEVEL_DISABLED},
        {"disable", LEVEL_DISABLED}, {"disabled", LEVEL_DISABLED},
    };
    const auto found = LEVELS.find(text);
    return found == LEVELS.end() ? LEVEL_INFO : found->second;
}

std::string XmConfiguration::GetRestServerName() const {
    return getConfiguredValueOrDefault(SECTION_REST, "ServerName", "127.0.0.1");
}

std::int32_t XmConfiguration::GetRestServerPort() const {
    const std::int64_t port =
        decimal_prefix(getConfiguredValueOrDefault(SECTION_REST, "ServerPort", "9001"));
    if (port <= 0) {
        return DEFAULT_SERVER_PORT;
    }
    // Saturate rather than wrap, so that a huge number never turns into a plausible port.
    return port > std::numeric_limits<std::int32_t>::max()
               ? std::numeric_limits<std::int32_t>::max()
               : static_cast<std::int32_t>(port);
}

std::int64_t XmConfiguration::GetRestClientPoolSize() const {
    return decimal_prefix(getConfiguredValueOrDefault(SECTION_REST, "ClientPoolSize", "32"));
}

std::int64_t XmConfiguration::GetRestClientEofRetryCount() const {
    return decimal_prefix(getConfiguredValueOrDefault(SECTION_REST, "ClientEofRetryCount", "15"));
}

std::int64_t XmConfiguration::GetRestClientConnectRetryCount() const {
    return decimal_prefix(
        getConfiguredValueOrDefault(SECTION_REST, "ClientConnectRetryCount", "60"));
}

std::int64_t XmConfiguration::GetRestClientConnectIntervalMs() const {
    return decimal_prefix(
        getConfiguredValueOrDefault(SECTION_REST, "ClientConnectIntervalMs", "1000"));
}

std::int64_t XmConfiguration::GetRestClientTimeoutSec() const {
    return decimal_prefix(getConfiguredValueOrDefault(SECTION_REST, "ClientTimeoutSec", "600"));
}

std::string XmConfiguration::GetRestCABundleFile() const {
    std::string bundle = getConfiguredValueOrDefault(SECTION_REST, "CABundleFile", "");
    if (bundle.empty()) {
        bundle = getConfiguredValueOrDefault(SECTION_REST, "SSLClientSideVerifyFile", "");
    }
    return bundle;
}

bool XmConfiguration::GetRestSSLClientSideHostnameCheckEnabled() const {
    return is_true_text(
        getConfiguredValueOrDefault(SECTION_REST, "SSLClientSideHostnameCheckEnabled", "true"));
}

std::string XmConfiguration::GetRestXMAppSpecificData() const {
    return getConfiguredValueOrDefault(SECTION_REST, "XMAppSpecificData", "");
}

bool XmConfiguration::GetRestAuthTokenRetrievalEnabled() const {
    return is_true_text(
        getConfiguredValueOrDefault(SECTION_REST, "AuthTokenRetrievalEnabled", "false"));
}

std::string XmConfiguration::GetRestAuthTokenConfigURI() const {
    return getConfiguredValueOrDefault(SECTION_REST, "AuthTokenConfigURI", "");
}

std::string XmConfiguration::GetRestAuthTokenClientId() const {
    return getConfiguredValueOrDefault(SECTION_REST, "AuthTokenClientId", "");
}

std::string XmConfiguration::GetRestAuthTokenClientSecret() const {
    return getConfiguredValueOrDefault(SECTION_REST, "AuthTokenClientSecret", "");
}

long XmConfiguration::GetRestAppLogLevel() const {
    // Guards s_app_log_level: written once by the first caller, read-only afterwards.
    static std::once_flag s_app_log_level_once;
    static long s_app_log_level = LEVEL_DISABLED;
    std::call_once(s_app_log_level_once, [this] {
        s_app_log_level =
            severityLevel2Long(getConfiguredValueOrDefault(SECTION_REST, "AppLogLevel", "fatal"));
    });
    return s_app_log_level;
}

std::string XmConfiguration::GetRestClientProxy() const {
    if (const char* from_env = env_or_null("ClientProxy")) {
        return from_env;
    }
    if (const char* from_env = env_or_null("HTTPS_PROXY")) {
        return from_env;
    }
    char value[PROXY_VALUE_CAPACITY];
    if (GetConfigurationInfo(SECTION_REST, "ClientProxy", value, PROXY_VALUE_CAPACITY)) {
        return value;
    }
    return "";
}

std::vector<std::string> XmConfiguration::GetXtcPartitionCertPaths() const {
    std::vector<std::string> paths;
    for (int n = 0; n < MAX_PARTITION_CERTS; ++n) {
        char key[sizeof("PartitionCertPath00")];
        std::snprintf(key, sizeof(key), "PartitionCertPath%02d", n);
        char value[XTC_VALUE_CAPACITY];
        // The list is contiguous: the first missing number ends it.
        if (!GetConfigurationInfo(SECTION_XTC, key, value, XTC_VALUE_CAPACITY)) {
            break;
        }
        paths.emplace_back(value);
    }
    return paths;
}

std::string XmConfiguration::GetXtcPartitionCAPath() const {
    char value[XTC_VALUE_CAPACITY];
    if (GetConfigurationInfo(SECTION_XTC, "PartitionCAPath", value, XTC_VALUE_CAPACITY)) {
        return value;
    }
    return "";
}

std::int64_t XmConfiguration::GetXtcTimeout() const {
    char value[XTC_VALUE_CAPACITY];
    if (!GetConfigurationInfo(SECTION_XTC, "TimeoutSec", value, XTC_VALUE_CAPACITY)) {
        return NO_XTC_TIMEOUT;
    }
    const std::optional<std::int64_t> seconds = stringToOptional<std::int64_t>(value);
    if (!seconds || *seconds < MIN_XTC_TIMEOUT_SEC || *seconds > MAX_XTC_TIMEOUT_SEC) {
        return NO_XTC_TIMEOUT;
    }
    return *seconds;
}
