#pragma once
// The object search each session runs, kept in s_find_objects_context_map. Every change of
// that map goes through here, so that taking a search step (look-up and advance) cannot
// interleave with a new search or with the session's close.

#include <array>
#include <cstdint>
#include <optional>

#include "plugin/session_maps.h"

namespace ops {

using search_id_t = std::array<std::uint8_t, 16>;

/// Starts (or replaces) the session's search at sequence number 0.
void start_search(std::uint32_t session, const search_id_t& id);

/// The context the next search request must carry; the stored sequence number moves on by
/// one. None when the session runs no search.
std::optional<saved_context_t> take_search_step(std::uint32_t session);

void forget_search(std::uint32_t session);

}  // namespace ops
