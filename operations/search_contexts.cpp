#include "operations/search_contexts.h"

#include <mutex>

namespace ops {
namespace {

// Serialises the writers of s_find_objects_context_map. The map's own lock makes each
// look-up or insertion atomic, but a search step is a look-up followed by a write; without
// this a step could write back an entry that a new search or the session's close just replaced
// or removed. Readers do not exist outside this file; the map's lock is taken inside this one.
std::mutex s_find_objects_step_mutex;

}  // namespace

void start_search(std::uint32_t session, const search_id_t& id) {
    std::lock_guard lock(s_find_objects_step_mutex);
    s_find_objects_context_map.insert_or_assign(session, saved_context_t{id, 0});
}

std::optional<saved_context_t> take_search_step(std::uint32_t session) {
    std::lock_guard lock(s_find_objects_step_mutex);
    auto context = s_find_objects_context_map.find(session);
    if (!context) {
        return std::nullopt;
    }
    saved_context_t next = *context;
    ++next.sequence;
    s_find_objects_context_map.insert_or_assign(session, next);
    return context;
}

void forget_search(std::uint32_t session) {
    std::lock_guard lock(s_find_objects_step_mutex);
    s_find_objects_context_map.erase(session);
}

}  // namespace ops
