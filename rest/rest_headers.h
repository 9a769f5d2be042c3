#pragma once
// What the driver puts around one protected command: the transport prefix, the target, the
// header map, request ids, and the per-partition versions the service reports back.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "rest/cmd.h"

inline constexpr const char* CLIENT_VER_HDR = "Client-Ver";
inline constexpr const char* XM_APP_SPECIFIC_DATA_HDR = "XM-App-Specific-Data";
inline constexpr const char* AUTHORIZATION_HDR = "Authorization";
inline constexpr const char* APP_SESSIONS_VERSION_HDR = "App-Sessions-Version";
inline constexpr const char* COMMAND_HDR = "COMMAND";
inline constexpr const char* DOMAIN_ID_HDR = "Domain-ID";
inline constexpr const char* MULTIPART_REQUEST_HDR = "Multipart-Request";
inline constexpr const char* MUTATES_OBJECT_HDR = "Mutates-Object";
inline constexpr const char* PARTITION_VERSION_HDR = "Partition-Version";
inline constexpr const char* SESSION_ID_HDR = "Session-ID";
inline constexpr const char* REQ_ID_HDR = "Req-ID";
inline constexpr const char* RETRY_AFTER_HDR = "Retry-After";

/// Headers of one command, kept in ascending byte order of their names as they go on the wire.
using header_map_t = std::map<std::string, std::string>;

/// The 16-byte salt of the hashed identifiers.
using salt_t = std::array<std::uint8_t, 16>;

namespace transport_prefix {
inline constexpr std::size_t RESPONSE_LIMIT = 0;
inline constexpr std::size_t WORD_1 = 4;
inline constexpr std::size_t WORD_2 = 8;
inline constexpr std::size_t WORD_3 = 12;
inline constexpr std::size_t SIZE = 16;
inline constexpr std::uint32_t WORD_1_VALUE = 600000;
inline constexpr std::uint32_t WORD_2_VALUE = 0;
inline constexpr std::uint32_t WORD_3_VALUE = 1;
}  // namespace transport_prefix

/// Writes the transport prefix; false when the request is too short to hold one.
bool write_transport_prefix(cmd_t& cmd);

/// "/vHSM", or "/vHSM/<serial>" for a command addressed to a partition.
std::string request_target(const cmd_t& cmd);

/// Unpadded base64url of SHA-256(salt || bytes); throws std::runtime_error when hashing fails.
std::string hashed_identifier(const salt_t& salt, std::span<const std::uint8_t> bytes);

/// The per-command headers. `domain_id` is the Domain-ID value; `versions` the partition's
/// (partition version, application sessions version).
header_map_t make_headers(const cmd_t& cmd, const salt_t& salt, const std::string& domain_id,
                          std::pair<std::int64_t, std::int64_t> versions);

/// The COMMAND header value of a command.
std::string command_header_value(const cmd_t& cmd);

/// The request id of attempt `attempt` of this thread's current request (attempt 0 starts a new
/// request). `prefix` holds the zero to two characters put in front.
std::string format_request_id(std::string_view prefix, std::uint32_t thread_id,
                              std::uint32_t counter, int attempt);
/// The one or two leading characters taken from a TwoCharReqIdPrefix value.
std::string request_id_prefix(const char* variable);

/// The pause a "Retry-After" value asks for: its seconds, at least 200 ms and at most 5 s; 200 ms
/// for anything that is not a plain number.
std::chrono::milliseconds retry_after_pause(std::string_view value);

/// The versions of each partition, as the service last reported them.
class partition_versions {
public:
    /// Sets every given partition to (0, 0); others stay.
    template <typename Serials>
    void reset(const Serials& serials) {
        std::unique_lock lock(lock_);
        for (std::uint64_t serial : serials) {
            map_[serial] = {0, 0};
        }
    }
    /// (0, 0) for a partition without an entry.
    std::pair<std::int64_t, std::int64_t> get(std::uint64_t serial) const;
    /// Applies the version headers of a 200 reply. `on_sessions_version` runs under the
    /// exclusive lock when the partition's sessions are to be kept alive.
    template <typename OnSessions>
    void update(std::uint64_t serial, const std::optional<std::string>& partition_version,
                const std::optional<std::string>& sessions_version, OnSessions on_sessions);

private:
    void update_locked(std::uint64_t serial, const std::optional<std::string>& partition_version,
                       const std::optional<std::string>& sessions_version, bool& keep_alive);

    mutable std::shared_mutex lock_;  // guards map_
    std::unordered_map<std::uint64_t, std::pair<std::int64_t, std::int64_t>> map_{10};
};

template <typename OnSessions>
void partition_versions::update(std::uint64_t serial,
                                const std::optional<std::string>& partition_version,
                                const std::optional<std::string>& sessions_version,
                                OnSessions on_sessions) {
    if (!partition_version && !sessions_version) {
        return;
    }
    std::unique_lock lock(lock_);
    bool keep_alive = false;
    update_locked(serial, partition_version, sessions_version, keep_alive);
    if (keep_alive) {
        on_sessions(serial);  // lock order: versions first, then the keepalive set
    }
}
