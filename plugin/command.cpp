#include "plugin/command.h"

#include <algorithm>
#include <mutex>

namespace {

std::mutex s_aid_mutex;  // guards s_aid: start-up replaces it while other threads may read it
app_id_t s_aid{};

}  // namespace

app_id_t current_app_id() {
    std::lock_guard lock(s_aid_mutex);
    return s_aid;
}

void set_app_id(const app_id_t& app_id) {
    std::lock_guard lock(s_aid_mutex);
    s_aid = app_id;
}

cmd_t make_cmd(const app_id_t& app_id, std::uint64_t partition, std::uint32_t code,
               std::size_t request_size, std::size_t response_size) {
    cmd_t cmd;
    cmd.app_id = app_id;
    cmd.partition = partition;
    cmd.code = code;
    cmd.request.assign(wire::round_up_8(std::max(request_size, request_layout::HEADER_SIZE)), 0);
    cmd.response.assign(wire::round_up_8(response_size), 0);
    wire::put_u32(cmd.request, request_layout::CODE, code);
    wire::put_u32(cmd.request, request_layout::PROTOCOL_LEVEL, PROTOCOL_LEVEL);
    wire::put_bytes(cmd.request, request_layout::APP_ID, app_id);
    return cmd;
}

std::uint32_t response_result(const cmd_t& cmd, std::uint32_t fallback) {
    return wire::get_u32(cmd.response, response_layout::RESULT).value_or(fallback);
}
