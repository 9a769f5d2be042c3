#include "plugin/local_slots.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "config/codes.h"
#include "config/wire.h"
#include "health/StatusMonitor.h"
#include "plugin/command.h"
#include "plugin/send_path.h"
#include "xtc/xtc.h"

namespace {

constexpr std::string_view SLOT_NAME_TEXT = "Ximora Slot 1";
constexpr std::string_view SLOT_DESCRIPTION_TEXT = "Ximora Slot";
constexpr std::uint32_t SLOT_FLAGS = 0x0000201F;

constexpr std::uint32_t OPERATIONAL = 1;
constexpr std::uint32_t NOT_OPERATIONAL = 2;
constexpr std::uint32_t UNKNOWN_CONTAINER = 0;

void put_text(std::span<std::uint8_t> record, std::size_t offset, std::size_t length_offset,
              std::string_view text) {
    wire::put_bytes(record, offset,
                    {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    wire::put_u64(record, length_offset, text.size());
}

}  // namespace

std::uint32_t get_slot_count() { return 1; }

std::uint32_t get_slot_info(void* info, std::uint64_t size) {
    if (info == nullptr || size == 0) {
        return RC_POINTER_INVALID;
    }
    if (size < slot_info_layout::SIZE) {
        return RC_BUFFER_TOO_SMALL;
    }
    std::span<std::uint8_t> record(static_cast<std::uint8_t*>(info), slot_info_layout::SIZE);
    namespace layout = slot_info_layout;
    wire::put_u64(record, layout::VERSION, 1);
    put_text(record, layout::SLOT_NAME, layout::SLOT_NAME_LENGTH, SLOT_NAME_TEXT);
    put_text(record, layout::DESCRIPTION, layout::DESCRIPTION_LENGTH, SLOT_DESCRIPTION_TEXT);
    wire::put_u32(record, layout::RESERVED, 0);
    wire::put_u32(record, layout::FLAGS, SLOT_FLAGS);
    return RC_OK;
}

void delete_bytes(std::uint8_t* bytes, std::uint32_t count) {
    if (bytes != nullptr) {
        OPENSSL_cleanse(bytes, count);
        std::free(bytes);
    }
}

void delete_integers(std::uint32_t* words, std::uint32_t count) {
    if (words != nullptr) {
        OPENSSL_cleanse(words, std::size_t{count} * sizeof(std::uint32_t));
        std::free(words);
    }
}

std::uint32_t get_mofn_status(void* /*host*/, void* record) {
    if (record == nullptr) {
        return RC_POINTER_INVALID;
    }
    std::memset(record, 0, MOFN_STATUS_SIZE);
    return RC_OK;
}

std::uint32_t get_protocol_level(void* /*host*/, std::uint16_t* level) {
    if (level != nullptr) {
        *level = PROTOCOL_LEVEL;
    }
    return RC_OK;
}

std::uint32_t get_container_list(void* /*host*/, std::uint32_t, std::uint32_t,
                                 api_integer_block* out) {
    if (out == nullptr) {
        return RC_POINTER_INVALID;
    }
    std::vector<std::uint32_t> containers;
    if (auto state = xtc_state()) {
        containers = xtc::containerList(*state);
    }
    out->count = 0;
    out->data = nullptr;
    if (containers.empty()) {
        return RC_OK;
    }
    auto* data = static_cast<std::uint32_t*>(std::malloc(containers.size() * sizeof(std::uint32_t)));
    if (data == nullptr) {
        return RC_MEMORY_ALLOCATION;
    }
    std::memcpy(data, containers.data(), containers.size() * sizeof(std::uint32_t));
    out->data = data;
    out->count = static_cast<std::uint32_t>(containers.size());
    return RC_OK;
}

std::uint32_t get_operation_status(void* /*host*/, std::uint32_t container) {
    auto state = xtc_state();
    std::uint64_t serial = state ? xtc::containerToSerialNumber(*state, container) : 0;
    if (serial == 0) {
        return UNKNOWN_CONTAINER;
    }
    if (plugin_state() != PLUGIN_RUNNING) {
        return NOT_OPERATIONAL;
    }
    return StatusMonitor::isOnline(serial) ? OPERATIONAL : NOT_OPERATIONAL;
}
