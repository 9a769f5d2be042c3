#include "operations/common.h"

#include <stdexcept>

#include "config/wire.h"
#include "plugin/command.h"
#include "plugin/send_path.h"
#include "xtc/xtc.h"

namespace ops {

cmd_t build_command(std::uint64_t partition, std::uint32_t code, unsigned flags,
                    std::size_t request_size, std::size_t response_size) {
    cmd_t cmd = make_cmd(current_app_id(), partition, code, request_size, response_size);
    cmd.multipart_request = (flags & MULTIPART) != 0;
    cmd.mutates_object = (flags & MUTATES) != 0;
    return cmd;
}

cmd_t build_session_command(std::uint64_t partition, std::uint32_t session, std::uint32_t code,
                            unsigned flags, std::size_t request_size, std::size_t response_size) {
    cmd_t cmd = build_command(partition, code, flags, request_size, response_size);
    cmd.session = session;
    put_u32(cmd, request_layout::SESSION, session);
    return cmd;
}

void put_u32(cmd_t& cmd, std::size_t offset, std::uint32_t value) {
    if (!wire::put_u32(cmd.request, offset, value)) {
        throw std::out_of_range("request field outside the request");
    }
}

void put_u64(cmd_t& cmd, std::size_t offset, std::uint64_t value) {
    if (!wire::put_u64(cmd.request, offset, value)) {
        throw std::out_of_range("request field outside the request");
    }
}

void put_bytes(cmd_t& cmd, std::size_t offset, std::span<const std::uint8_t> bytes) {
    if (!wire::put_bytes(cmd.request, offset, bytes)) {
        throw std::out_of_range("request field outside the request");
    }
}

std::uint64_t container_to_partition(std::uint32_t container) {
    auto state = xtc_state();
    return state ? xtc::containerToSerialNumber(*state, container) : 0;
}

std::uint32_t partition_to_container(std::uint64_t partition) {
    auto state = xtc_state();
    return state ? xtc::serialNumberToContainer(*state, partition) : 0;
}

std::optional<std::span<const std::uint8_t>> optional_input(const api_memory_block* block) {
    if (block == nullptr || block->length == 0) {
        return std::span<const std::uint8_t>{};
    }
    if (block->data == nullptr) {
        return std::nullopt;
    }
    return std::span<const std::uint8_t>(block->data, block->length);
}

std::optional<std::span<const std::uint8_t>> required_input(const api_memory_block* block) {
    if (block == nullptr) {
        return std::nullopt;
    }
    return optional_input(block);
}

}  // namespace ops
