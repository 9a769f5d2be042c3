#include "rest/rest_headers.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "config/SimpleLogger.h"
#include "config/XmConfiguration.h"
#include "config/code_names.h"
#include "config/codes.h"
#include "config/wire.h"
#include "rest/base64.h"

namespace {

constexpr const char* TRUE_TEXT = "True";
constexpr std::size_t MAX_REQUEST_ID = 31;
constexpr std::chrono::milliseconds MIN_PAUSE{200};
constexpr std::chrono::milliseconds MAX_PAUSE{5000};

void log_error(const std::string& text) {
    if (SimpleLogger::logLevel() <= SimpleLogger::error) {
        SimpleLogger(SimpleLogger::error)() << text;
    }
}

std::array<std::uint8_t, 4> le_bytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string_view trim(std::string_view text) {
    auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

bool write_transport_prefix(cmd_t& cmd) {
    namespace p = transport_prefix;
    if (cmd.request.size() < p::SIZE) {
        return false;
    }
    wire::put_u32(cmd.request, p::RESPONSE_LIMIT, static_cast<std::uint32_t>(cmd.response.size()));
    wire::put_u32(cmd.request, p::WORD_1, p::WORD_1_VALUE);
    wire::put_u32(cmd.request, p::WORD_2, p::WORD_2_VALUE);
    wire::put_u32(cmd.request, p::WORD_3, p::WORD_3_VALUE);
    return true;
}

std::string request_target(const cmd_t& cmd) {
    std::string target = "/vHSM";
    if (cmd.partition != 0) {
        target += "/" + std::to_string(cmd.partition);
    }
    return target;
}

std::string hashed_identifier(const salt_t& salt, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> input(salt.begin(), salt.end());
    input.insert(input.end(), bytes.begin(), bytes.end());
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
        1) {
        throw std::runtime_error("Error: Failed to generate SHA256 hash");
    }
    return base64url_encode(std::span<const std::uint8_t>(digest.data(), length));
}

std::string command_header_value(const cmd_t& cmd) {
    std::string value = cmd_code_to_str(cmd.code);
    if (value == "UNKNOWN") {
        value += " (" + std::to_string(cmd.code) + ")";
    }
    if (cmd.code == ORVA_GET) {
        value += ":" + cmd_subcode_to_str(cmd.subcode);
    }
    return value;
}

header_map_t make_headers(const cmd_t& cmd, const salt_t& salt, const std::string& domain_id,
                          std::pair<std::int64_t, std::int64_t> versions) {
    header_map_t headers;
    headers[DOMAIN_ID_HDR] = domain_id;
    headers[COMMAND_HDR] = command_header_value(cmd);
    if (cmd.multipart_request) {
        headers[MULTIPART_REQUEST_HDR] = TRUE_TEXT;
        headers[SESSION_ID_HDR] = hashed_identifier(salt, le_bytes(cmd.session));
    }
    if (cmd.partition != 0) {
        const auto [partition_version, sessions_version] = versions;
        if (partition_version != 0) {
            headers[PARTITION_VERSION_HDR] = std::to_string(partition_version);
        }
        if (cmd.code != ORVA_XTC_OPEN_REQ_V1) {
            std::string value = hashed_identifier(salt, cmd.app_id);
            if (sessions_version != 0) {
                value += ":" + std::to_string(sessions_version);
            }
            headers[APP_SESSIONS_VERSION_HDR] = value;
        }
        if (cmd.mutates_object) {
            headers[MUTATES_OBJECT_HDR] = TRUE_TEXT;
        }
    }
    return headers;
}

std::string request_id_prefix(const char* variable) {
    std::string prefix;
    if (variable == nullptr) {
        return prefix;
    }
    for (int i = 0; i < 2 && variable[i] != '\0'; ++i) {
        if (std::isgraph(static_cast<unsigned char>(variable[i])) == 0) {
            break;
        }
        prefix += variable[i];
    }
    return prefix;
}

std::string format_request_id(std::string_view prefix, std::uint32_t thread_id,
                              std::uint32_t counter, int attempt) {
    char id[64];
    if (attempt == 0) {
        std::snprintf(id, sizeof id, "%.*s%06x-%06u", static_cast<int>(prefix.size()),
                      prefix.data(), thread_id, counter);
    } else {
        std::snprintf(id, sizeof id, "%.*s%06x-%06u-%02d", static_cast<int>(prefix.size()),
                      prefix.data(), thread_id, counter, attempt);
    }
    std::string text(id);
    text.resize(std::min(text.size(), MAX_REQUEST_ID));
    return text;
}

std::chrono::milliseconds retry_after_pause(std::string_view value) {
    value = trim(value);
    if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        return MIN_PAUSE;
    }
    // Any number of seconds beyond the cap means the cap; stop reading once it is reached.
    std::int64_t seconds = 0;
    for (char c : value) {
        seconds = std::min<std::int64_t>(seconds * 10 + (c - '0'), MAX_PAUSE.count());
    }
    const std::chrono::milliseconds asked{seconds * 1000};
    return asked > std::chrono::milliseconds{199} ? std::min(asked, MAX_PAUSE) : MIN_PAUSE;
}

std::pair<std::int64_t, std::int64_t> partition_versions::get(std::uint64_t serial) const {
    std::shared_lock lock(lock_);
    auto it = map_.find(serial);
    return it == map_.end() ? std::pair<std::int64_t, std::int64_t>{0, 0} : it->second;
}

void partition_versions::update_locked(std::uint64_t serial,
                                       const std::optional<std::string>& partition_version,
                                       const std::optional<std::string>& sessions_version,
                                       bool& keep_alive) {
    auto it = map_.find(serial);
    if (it == map_.end()) {
        log_error("Failed to retrieve partition information. Partition S/N:" +
                  std::to_string(serial));
        return;
    }
    auto& [stored_partition, stored_sessions] = it->second;
    if (partition_version) {
        auto value = stringToOptional<std::int64_t>(*partition_version);
        if (!value) {
            log_error(std::string("Malformed ") + PARTITION_VERSION_HDR + " header: " +
                      *partition_version);
        } else if (*value == 0) {
            log_error(std::string("Zero valued ") + PARTITION_VERSION_HDR + " header: " +
                      *partition_version);
        } else {
            stored_partition = std::max(stored_partition, *value);
        }
    }
    if (sessions_version) {
        const std::string& text = *sessions_version;
        const std::size_t colon = text.find(':');
        const bool two_parts =
            colon != std::string::npos && text.find(':', colon + 1) == std::string::npos;
        auto value = two_parts ? stringToOptional<std::int64_t>(text.substr(colon + 1))
                               : std::nullopt;
        if (!value) {
            log_error(std::string("Malformed ") + APP_SESSIONS_VERSION_HDR + " header: " + text);
        } else if (*value > stored_sessions || *value == 0) {
            stored_sessions = *value;
            keep_alive = true;
        }
    }
}
