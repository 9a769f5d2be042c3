#include "service/hsm.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "service/crypto.h"

namespace service {
namespace {

// Context-bound commands and where their command context sits: after the session handle,
// or after the container number for the two partition-administration commands.
struct bound_command_t {
    std::uint32_t code;
    context_binding_t binding;
};
constexpr std::size_t CONTEXT_AFTER_SESSION = 176;
constexpr std::size_t CONTEXT_AFTER_CONTAINER = 180;
constexpr bound_command_t BOUND_COMMANDS[] = {
    {ORVA_OPEN_SESSION, {CONTEXT_AFTER_SESSION, context_kind::sessionless}},
    {ORVA_CLOSE_ALL_SESSIONS, {CONTEXT_AFTER_SESSION, context_kind::sessionless}},
    {ORVA_CLOSE_SESSION, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_LOGOUT, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_CREATE_OBJECT, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_COPY_OBJECT, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_DESTROY_OBJECT, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_MODIFY_OBJECT, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_GENERATE_KEY, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_GENERATE_KEY_PAIR, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_UNWRAP_KEY, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_DERIVE_KEY, {CONTEXT_AFTER_SESSION, context_kind::session}},
    {ORVA_SET_CONTAINER_POLICY, {CONTEXT_AFTER_CONTAINER, context_kind::session}},
    {ORVA_PARTITION_ZEROIZE, {CONTEXT_AFTER_CONTAINER, context_kind::session}},
};

bool is_zero(const app_id_t& app) {
    return std::all_of(app.begin(), app.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

std::int64_t system_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<context_binding_t> context_binding(std::uint32_t code) {
    for (const auto& bound : BOUND_COMMANDS) {
        if (bound.code == code) {
            return bound.binding;
        }
    }
    return std::nullopt;
}

std::optional<app_id_t> app_registry::issue() {
    app_id_t id;
    if (!crypto::random_bytes(id)) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    if (ids_.insert(id).second) {
        order_.push_back(id);
    }
    while (ids_.size() > capacity_ && !order_.empty()) {
        ids_.erase(order_.front());
        order_.pop_front();
    }
    return id;
}

bool app_registry::known(const app_id_t& id) const {
    std::lock_guard lock(mutex_);
    return ids_.contains(id);
}

std::uint64_t partition_t::app_sessions_version(const app_id_t& app) {
    return app_sessions_.try_emplace(app, 1).first->second;
}

void partition_t::bump_app_sessions(const app_id_t& app) {
    ++app_sessions_.try_emplace(app, 1).first->second;
}

std::optional<command_context_t> partition_t::open_context(context_kind kind, std::uint32_t session,
                                                           const app_id_t& app, std::int64_t now) {
    command_context_t context;
    if (!crypto::random_bytes(context.tag)) {
        return std::nullopt;
    }
    drop_expired_contexts(now);
    while (contexts_.size() >= options_.context_capacity && !context_order_.empty()) {
        contexts_.erase(context_order_.front());
        context_order_.pop_front();
    }
    context.id = next_context_id_++;
    if (next_context_id_ == 0) {
        next_context_id_ = 1;  // 0 never names a context
    }
    contexts_[context.id] = {
        kind, context.tag, session, app, now + options_.context_lifetime_seconds, false};
    context_order_.push_back(context.id);
    return context;
}

context_verdict partition_t::use_context(context_kind kind, std::uint32_t id,
                                         std::span<const std::uint8_t> tag, std::uint32_t session,
                                         const app_id_t& app, std::int64_t now) {
    drop_expired_contexts(now);
    auto it = contexts_.find(id);
    if (it == contexts_.end()) {
        return context_verdict::stale;
    }
    auto& record = it->second;
    if (!std::equal(tag.begin(), tag.end(), record.tag.begin(), record.tag.end()) ||
        record.kind != kind || record.app != app ||
        (kind == context_kind::session && record.session != session)) {
        return context_verdict::mismatch;
    }
    if (record.used) {
        return context_verdict::reused;
    }
    // Kept until it expires, so that a second use is recognised as a reuse.
    record.used = true;
    return context_verdict::accepted;
}

void partition_t::drop_expired_contexts(std::int64_t now) {
    while (!context_order_.empty()) {
        auto it = contexts_.find(context_order_.front());
        if (it != contexts_.end() && it->second.expires > now) {
            break;
        }
        if (it != contexts_.end()) {
            contexts_.erase(it);
        }
        context_order_.pop_front();
    }
}

bool partition_t::advance_saved_context(const saved_context_id_t& id, std::uint64_t sequence) {
    auto [it, inserted] = saved_contexts_.try_emplace(id, sequence);
    if (inserted) {
        return true;
    }
    if (sequence <= it->second) {
        return false;
    }
    it->second = sequence;
    return true;
}

void partition_t::forget_saved_context(const saved_context_id_t& id) {
    saved_contexts_.erase(id);
}

app_id_t command_t::app_id() const {
    app_id_t app;
    auto source = get_bytes(request, CMD_APP_ID, APP_ID_SIZE);
    std::copy(source.begin(), source.end(), app.begin());
    return app;
}

bool command_t::advance_saved_context(const saved_context_id_t& id, std::uint64_t sequence) {
    if (partition.advance_saved_context(id, sequence)) {
        return true;
    }
    ++hsm.violations().saved_context_sequences;
    return false;
}

void command_table::add(std::uint32_t code, command_handler_t handler) {
    handlers_[code] = std::move(handler);
}

const command_handler_t* command_table::find(std::uint32_t code) const {
    auto it = handlers_.find(code);
    return it == handlers_.end() ? nullptr : &it->second;
}

void command_table::add_get_item(std::uint32_t item, get_item_t reader) {
    get_items_[item] = std::move(reader);
}

const get_item_t* command_table::find_get_item(std::uint32_t item) const {
    auto it = get_items_.find(item);
    return it == get_items_.end() ? nullptr : &it->second;
}

hsm_t::hsm_t(const std::vector<std::uint64_t>& serials, hsm_options_t options,
             violation_counters& violations, clock_fn clock)
    : options_(std::move(options)),
      violations_(violations),
      clock_(clock ? std::move(clock) : clock_fn(system_seconds)),
      apps_(options_.app_capacity),
      commands_(make_command_table()) {
    for (auto serial : serials) {
        partitions_.emplace(serial, std::make_unique<partition_t>(serial, options_));
    }
}

partition_t* hsm_t::partition(std::uint64_t serial) {
    auto it = partitions_.find(serial);
    return it == partitions_.end() ? nullptr : it->second.get();
}

std::vector<std::uint64_t> hsm_t::serials() const {
    std::vector<std::uint64_t> out;
    for (const auto& [serial, partition] : partitions_) {
        out.push_back(serial);
    }
    return out;
}

outcome_t hsm_t::execute(partition_t& partition, std::span<const std::uint8_t> request,
                         std::optional<std::uint32_t> injected) {
    outcome_t outcome;
    std::lock_guard lock(partition.mutex());
    command_t command{*this, partition, request, outcome.body, clock_()};
    if (injected) {
        outcome.result = *injected;
    } else {
        outcome.result = dispatch(command);
    }
    if (outcome.result != ORVA_RET_OK) {
        outcome.body.clear();  // an error reply carries the result word alone
    }
    outcome.empty_reply = command.empty_reply;
    outcome.partition_version = partition.version();
    if (request.size() >= CMD_HEADER_END && !is_zero(command.app_id())) {
        outcome.app_sessions_version = partition.app_sessions_version(command.app_id());
    }
    return outcome;
}

std::uint32_t hsm_t::dispatch(command_t& command) {
    try {
        if (command.request.size() < CMD_HEADER_END ||
            get_u32(command.request, CMD_LEVEL) != PROTOCOL_LEVEL) {
            return ORVA_RET_ARGUMENTS_BAD;
        }
        if (auto binding = context_binding(command.code())) {
            if (auto result = check_context(command, *binding); result != ORVA_RET_OK) {
                return result;
            }
        }
        const auto* handler = commands_.find(command.code());
        return handler ? (*handler)(command) : ORVA_RET_UNKNOWN_COMMAND;
    } catch (const wire_error&) {
        return ORVA_RET_ARGUMENTS_BAD;  // a field the command needs lies beyond its end
    } catch (const std::exception&) {
        return ORVA_RET_GENERAL_ERROR;
    }
}

std::uint32_t hsm_t::check_context(command_t& command, const context_binding_t& binding) {
    const auto id = get_u32(command.request, binding.offset + CMD_CONTEXT_ID);
    const auto tag = get_bytes(command.request, binding.offset + CMD_CONTEXT_TAG,
                               COMMAND_CONTEXT_SIZE - CMD_CONTEXT_TAG);
    switch (command.partition.use_context(binding.kind, id, tag, command.word0(), command.app_id(),
                                          command.now)) {
        case context_verdict::accepted:
            return ORVA_RET_OK;
        case context_verdict::reused:
            ++violations_.context_reuses;
            break;
        case context_verdict::mismatch:
            ++violations_.context_mismatches;
            break;
        case context_verdict::stale:
            break;
    }
    return ORVA_RET_CONTEXT_INVALID;
}

}  // namespace service
