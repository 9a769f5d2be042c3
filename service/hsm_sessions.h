#pragma once
// What the object family needs from the session family.

#include <cstdint>

#include "service/hsm.h"

namespace service {

/// The session the command names at its first word, when it is open on this partition for
/// the command's application; nullptr otherwise.
session_record_t* session_of(command_t& command);

/// Drops the searches a session runs, with their sequence records.
void end_searches_of(partition_t& partition, std::uint32_t session);

}  // namespace service
