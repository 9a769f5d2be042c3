#pragma once
// What the stateless service cannot remember for us: which partition each host session
// belongs to, and the saved contexts of the multi-part operations each session runs.

#include <array>
#include <cstdint>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

/// A multi-part operation or search in progress: the service's context id and our next step.
struct saved_context_t {
    std::array<std::uint8_t, 16> id{};
    std::uint64_t sequence = 0;
};

/// A map from session handle to V; lookups run in parallel, changes are exclusive.
template <typename V>
class session_table {
public:
    session_table() { map_.reserve(10); }

    std::optional<V> find(std::uint32_t session) const {
        std::shared_lock lock(lock_);
        auto it = map_.find(session);
        if (it == map_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    void insert_or_assign(std::uint32_t session, V value) {
        std::unique_lock lock(lock_);
        map_.insert_or_assign(session, std::move(value));
    }
    void erase(std::uint32_t session) {
        std::unique_lock lock(lock_);
        map_.erase(session);
    }
    /// Removes every session for which `pred(session, value)` holds.
    template <typename Pred>
    void erase_if(Pred pred) {
        std::unique_lock lock(lock_);
        std::erase_if(map_, [&](const auto& entry) { return pred(entry.first, entry.second); });
    }
    std::size_t size() const {
        std::shared_lock lock(lock_);
        return map_.size();
    }
    void clear() {
        std::unique_lock lock(lock_);
        map_.clear();
    }

private:
    mutable std::shared_mutex lock_;  // guards map_
    std::unordered_map<std::uint32_t, V> map_;
};

extern session_table<std::uint64_t> s_session_partition_map;
extern session_table<saved_context_t> s_find_objects_context_map;
extern session_table<saved_context_t> s_encrypt_context_map;
extern session_table<saved_context_t> s_decrypt_context_map;
extern session_table<saved_context_t> s_digest_context_map;
extern session_table<saved_context_t> s_sign_context_map;
extern session_table<saved_context_t> s_verify_context_map;

/// The partition serial of a session, or 0 when the session is unknown.
std::uint64_t session_to_partition(std::uint32_t session);

/// Forgets a session everywhere: its partition and every saved context.
void forget_session(std::uint32_t session);
