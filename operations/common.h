#pragma once
// What every operation shares: finding a partition, reading the host's input blocks and
// building a command with its transport flags.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "config/codes.h"
#include "plugin/host_types.h"
#include "rest/cmd.h"

namespace ops {

/// A successful reply that lacks a field it must carry, or claims more bytes than it holds.
/// The same code the spine gives a short open-context reply.
inline constexpr std::uint32_t REPLY_TOO_SHORT = RC_BUFFER_TOO_SMALL;

/// Transport flags of a command (cmd_t::multipart_request and cmd_t::mutates_object).
enum command_flags : unsigned {
    NO_FLAGS = 0,
    MULTIPART = 1,
    MUTATES = 2,
};

/// A zeroed command for `partition` carrying the current application id, with its flags.
cmd_t build_command(std::uint64_t partition, std::uint32_t code, unsigned flags,
                    std::size_t request_size, std::size_t response_size);

/// As build_command, for a session: the handle goes into cmd_t and to request offset 172.
cmd_t build_session_command(std::uint64_t partition, std::uint32_t session, std::uint32_t code,
                            unsigned flags, std::size_t request_size, std::size_t response_size);

/// Field writers for offsets the operation sized its request for; a field that does not fit
/// is a programming error and throws (the slot boundary turns it into a result code).
void put_u32(cmd_t& cmd, std::size_t offset, std::uint32_t value);
void put_u64(cmd_t& cmd, std::size_t offset, std::uint64_t value);
void put_bytes(cmd_t& cmd, std::size_t offset, std::span<const std::uint8_t> bytes);

/// The partition serial of a container, 0 when it names none (or there is no tunnel layer).
std::uint64_t container_to_partition(std::uint32_t container);
/// The container of a partition serial, 0 when there is none.
std::uint32_t partition_to_container(std::uint64_t partition);

/// The bytes of a host input block that may be absent: empty for a null block, none when the
/// block claims bytes but points nowhere.
std::optional<std::span<const std::uint8_t>> optional_input(const api_memory_block* block);
/// The same for a block the operation requires: none for a null block too.
std::optional<std::span<const std::uint8_t>> required_input(const api_memory_block* block);

}  // namespace ops
