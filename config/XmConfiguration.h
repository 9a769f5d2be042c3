#pragma once
// The plug-in's settings: one getter per setting, each knowing its section, key and default.

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "config/MarlevonConfiguration.h"

inline constexpr const char* SECTION_REST = "REST";
inline constexpr const char* SECTION_XTC = "XTC";

/// Severity thresholds, numbered as the logger's levels.
enum ESupportedLevel : long {
    LEVEL_TRACE = 0,
    LEVEL_DEBUG = 1,
    LEVEL_INFO = 2,
    LEVEL_WARNING = 3,
    LEVEL_ERROR = 4,
    LEVEL_FATAL = 5,
    LEVEL_DISABLED = 6,
};

/// Strict conversion: an optional sign and one or more decimal digits, nothing else, fitting T.
/// For unsigned T a leading '-' negates the value modulo 2^N.
template <typename T>
std::optional<T> stringToOptional(const std::string& text) {
    static_assert(std::is_integral_v<T>);
    std::string_view digits(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    using U = std::make_unsigned_t<T>;
    U magnitude = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    if constexpr (std::is_unsigned_v<T>) {
        return negative ? static_cast<T>(U{0} - magnitude) : static_cast<T>(magnitude);
    } else {
        constexpr U max_positive = static_cast<U>(std::numeric_limits<T>::max());
        if (!negative) {
            if (magnitude > max_positive) {
                return std::nullopt;
            }
            return static_cast<T>(magnitude);
        }
        if (magnitude > max_positive + 1) {
            return std::nullopt;
        }
        return magnitude == max_positive + 1 ? std::numeric_limits<T>::min()
                                             : static_cast<T>(-static_cast<T>(magnitude));
    }
}

class XmConfiguration : public MarlevonConfiguration {
public:
    XmConfiguration() = default;

    std::string GetRestServerName() const;
    std::int32_t GetRestServerPort() const;
    std::int64_t GetRestClientPoolSize() const;
    std::int64_t GetRestClientEofRetryCount() const;
    std::int64_t GetRestClientConnectRetryCount() const;
    std::int64_t GetRestClientConnectIntervalMs() const;
    std::int64_t GetRestClientTimeoutSec() const;
    std::string GetRestCABundleFile() const;
    bool GetRestSSLClientSideHostnameCheckEnabled() const;
    std::string GetRestXMAppSpecificData() const;
    bool GetRestAuthTokenRetrievalEnabled() const;
    std::string GetRestAuthTokenConfigURI() const;
    std::string GetRestAuthTokenClientId() const;
    std::string GetRestAuthTokenClientSecret() const;
    /// Computed once per process; later changes of the file or environment are not seen.
    long GetRestAppLogLevel() const;
    std::string GetRestClientProxy() const;

    std::vector<std::string> GetXtcPartitionCertPaths() const;
    std::string GetXtcPartitionCAPath() const;
    /// The tunnel request lifetime, 1..600 seconds, or -1 when absent or invalid.
    std::int64_t GetXtcTimeout() const;

    /// Environment variable named like the key (even if empty), else the file, else the default.
    std::string getConfiguredValueOrDefault(const std::string& section, const std::string& key,
                                            const std::string& default_value) const;
    static long severityLevel2Long(const std::string& text);
};
