#include "rest/HttpUtils.h"

#include <boost/regex.hpp>

#include <cctype>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace {

// Groups: 1 scheme, 2 host, 3 port text, 4 path, 5 query, 6 fragment. "\x3f" is a literal '?'.
const char* const URI_PATTERN =
    R"((http|https)://([^/ :]+):?([^/ ]*)(/?[^ #?]*)\x3f?([^ #]*)#?([^ ]*))";
constexpr int HOST_GROUP = 2;
constexpr int PORT_GROUP = 3;
constexpr int PATH_GROUP = 4;

// The decimal prefix of the port text ("" gives 0), or nullopt when it does not fit 16 bits:
// wrapping a large number round would quietly send traffic to some other port.
std::optional<std::uint16_t> port_prefix(std::string_view text) {
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > std::numeric_limits<std::uint16_t>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint16_t>(value);
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_token_char(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

namespace HttpUtils {

bool parseURI(const std::string& uri, std::string& host, std::uint16_t& port, std::string& path) {
    static const boost::regex pattern(URI_PATTERN, boost::regex::perl);
    boost::smatch match;
    try {
        if (!boost::regex_match(uri, match, pattern)) {
            return false;
        }
    } catch (const std::runtime_error&) {
        // Boost.Regex gives up on pathological input rather than run without bound.
        return false;
    }
    const std::optional<std::uint16_t> parsed_port = port_prefix(match.str(PORT_GROUP));
    if (!parsed_port) {
        return false;
    }
    host = match.str(HOST_GROUP);
    port = *parsed_port;
    path = match.str(PATH_GROUP);
    return true;
}

bool fieldNameEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool isValidFieldName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        if (!is_token_char(c)) {
            return false;
        }
    }
    return true;
}

bool isValidFieldValue(const std::string& value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::optional<std::string> firstField(const HttpFields& fields, const std::string& name) {
    for (const auto& [field_name, value] : fields) {
        if (fieldNameEquals(field_name, name)) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace HttpUtils
