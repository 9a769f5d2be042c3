#pragma once
// The emulated HSM: one state per partition, the application ids it has issued, and the
// table of command handlers. Command families live in files of their own and add their
// handlers to the table (hsm_core.cpp for the commands every client needs; sessions, objects
// and crypto follow the same pattern). Commands of one partition run one at a time under its
// lock, like a device that executes its queue in order.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/codes.h"
#include "service/hsm_state.h"
#include "service/violations.h"
#include "service/wire.h"

namespace service {

using app_id_t = std::array<std::uint8_t, APP_ID_SIZE>;
using context_tag_t = std::array<std::uint8_t, 16>;
using saved_context_id_t = std::array<std::uint8_t, 16>;
/// Seconds since 1970; a seam so tests can move time.
using clock_fn = std::function<std::int64_t()>;
std::int64_t system_seconds();

struct hsm_options_t {
    std::int64_t context_lifetime_seconds = 60;  // an unused command context goes stale then
    std::size_t context_capacity = 65536;        // outstanding contexts per partition
    std::size_t app_capacity = 65536;            // application ids remembered
    std::vector<std::uint8_t> firmware_version{7, 8, 4};  // major, minor, subminor
    bool empty_keepalive_reply = false;  // answer keepalives with an empty HTTP body
    std::string user_pin = DEFAULT_USER_PIN;  // the PIN login accepts on every partition
    std::shared_ptr<const challenge_chain_t> challenge_chain;  // none: ORVA_GET_PEC fails
    std::size_t session_capacity = 4096;  // open sessions per partition
    std::size_t object_capacity = 65536;  // objects per partition
};

/// Application ids issued by ORVA_GEN_APPID, shared by all partitions. The oldest are
/// forgotten once `capacity` is reached.
class app_registry {
  public:
    explicit app_registry(std::size_t capacity) : capacity_(capacity) {}
    /// A fresh random id, remembered; nullopt when the random source fails.
    std::optional<app_id_t> issue();
    bool known(const app_id_t& id) const;

  private:
    std::size_t capacity_;
    mutable std::mutex mutex_;  // guards ids_ and order_
    std::set<app_id_t> ids_;
    std::deque<app_id_t> order_;
};

enum class context_kind { session, sessionless };
enum class context_verdict { accepted, stale, reused, mismatch };

struct command_context_t {
    std::uint32_t id = 0;
    context_tag_t tag{};
};

/// Where a context-bound command carries its command context, and which kind it needs.
struct context_binding_t {
    std::size_t offset;
    context_kind kind;
};
std::optional<context_binding_t> context_binding(std::uint32_t code);

/// The state of one partition. Not locked by itself: the dispatcher holds `mutex()` while a
/// command runs, and handlers call these members only from there.
class partition_t {
  public:
    partition_t(std::uint64_t serial, const hsm_options_t& options)
        : serial_(serial), options_(options) {}
    std::uint64_t serial() const { return serial_; }
    std::mutex& mutex() { return mutex_; }

    /// Counts changes of the partition's state (objects, policies, sessions). Starts at 1.
    std::uint64_t version() const { return version_; }
    void bump_version() { ++version_; }

    /// Counts changes of one application's sessions on this partition; 1 when first seen.
    std::uint64_t app_sessions_version(const app_id_t& app);
    void bump_app_sessions(const app_id_t& app);

    /// A new single-use command context; nullopt when the random source fails.
    std::optional<command_context_t> open_context(context_kind kind, std::uint32_t session,
                                                  const app_id_t& app, std::int64_t now);
    /// Consumes a context. A used one is `reused`; an unknown or expired one is `stale`.
    context_verdict use_context(context_kind kind, std::uint32_t id,
                                std::span<const std::uint8_t> tag, std::uint32_t session,
                                const app_id_t& app, std::int64_t now);

    /// Steps of a multi-part operation carry strictly increasing sequence numbers; false
    /// (and nothing recorded) when `sequence` is not above the last one accepted for `id`.
    bool advance_saved_context(const saved_context_id_t& id, std::uint64_t sequence);
    void forget_saved_context(const saved_context_id_t& id);

    /// Sessions, objects and searches (hsm_sessions.cpp, hsm_objects.cpp).
    hsm_state_t& state() { return state_; }

  private:
    struct context_record_t {
        context_kind kind;
        context_tag_t tag;
        std::uint32_t session;
        app_id_t app;
        std::int64_t expires;
        bool used;
    };
    void drop_expired_contexts(std::int64_t now);

    std::uint64_t serial_;
    const hsm_options_t& options_;
    std::mutex mutex_;  // held by the dispatcher while a command of this partition runs
    std::uint64_t version_ = 1;
    std::map<app_id_t, std::uint64_t> app_sessions_;
    std::uint32_t next_context_id_ = 1;
    std::unordered_map<std::uint32_t, context_record_t> contexts_;
    std::deque<std::uint32_t> context_order_;  // ids, oldest first
    std::map<saved_context_id_t, std::uint64_t> saved_contexts_;
    hsm_state_t state_;
};

class hsm_t;

/// One command being executed: the decrypted request (offsets as on the wire), the reply
/// body the handler fills (it follows the result word), and the partition it addresses.
struct command_t {
    hsm_t& hsm;
    partition_t& partition;
    std::span<const std::uint8_t> request;
    bytes& body;
    std::int64_t now;
    bool empty_reply = false;  // the handler asks for an empty HTTP body instead of a reply

    std::uint32_t code() const { return get_u32(request, CMD_CODE); }
    /// The partition's check of a multi-part step, counting a violation when it fails.
    bool advance_saved_context(const saved_context_id_t& id, std::uint64_t sequence);
    app_id_t app_id() const;
    std::uint32_t word0() const { return get_u32(request, CMD_WORD0); }
};

using command_handler_t = std::function<std::uint32_t(command_t&)>;
using get_item_t = std::function<std::optional<bytes>(command_t&)>;

class command_table {
  public:
    void add(std::uint32_t code, command_handler_t handler);
    const command_handler_t* find(std::uint32_t code) const;
    /// Items of ORVA_GET, answered by the core family's handler.
    void add_get_item(std::uint32_t item, get_item_t reader);
    const get_item_t* find_get_item(std::uint32_t item) const;

  private:
    std::unordered_map<std::uint32_t, command_handler_t> handlers_;
    std::unordered_map<std::uint32_t, get_item_t> get_items_;
};

/// Each family adds its handlers here; make_command_table calls them all.
void register_core_commands(command_table& table);
void register_session_commands(command_table& table);
void register_object_commands(command_table& table);
command_table make_command_table();

/// What executing one command produced, read under the partition's lock.
struct outcome_t {
    std::uint32_t result = ORVA_RET_OK;
    bytes body;
    bool empty_reply = false;
    std::uint64_t partition_version = 0;
    std::optional<std::uint64_t> app_sessions_version;  // for a request with an application id
};

class hsm_t {
  public:
    hsm_t(const std::vector<std::uint64_t>& serials, hsm_options_t options,
          violation_counters& violations, clock_fn clock);
    hsm_t(const hsm_t&) = delete;
    hsm_t& operator=(const hsm_t&) = delete;
    partition_t* partition(std::uint64_t serial);
    std::vector<std::uint64_t> serials() const;
    app_registry& apps() { return apps_; }
    const hsm_options_t& options() const { return options_; }
    violation_counters& violations() { return violations_; }
    const command_table& commands() const { return commands_; }

    /// Runs the command in `request` on the partition. With `injected` the command is not
    /// run and that result word is returned instead.
    outcome_t execute(partition_t& partition, std::span<const std::uint8_t> request,
                      std::optional<std::uint32_t> injected = std::nullopt);

  private:
    std::uint32_t dispatch(command_t& command);
    std::uint32_t check_context(command_t& command, const context_binding_t& binding);

    hsm_options_t options_;
    violation_counters& violations_;
    clock_fn clock_;
    app_registry apps_;
    command_table commands_;
    std::map<std::uint64_t, std::unique_ptr<partition_t>> partitions_;
};

}  // namespace service
