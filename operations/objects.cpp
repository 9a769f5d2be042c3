#include "operations/objects.h"

#include <algorithm>
#include <cstring>

#include "config/codes.h"
#include "config/wire.h"
#include "operations/common.h"
#include "plugin/send_path.h"
#include "plugin/session_maps.h"

namespace {

namespace create_layout {
constexpr std::size_t HEADER_SIZE = 200;  // with the trailer word
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t TEMPLATE = 196;
constexpr std::size_t NEW_OBJECT = 76;  // response
}  // namespace create_layout

// ORVA_DESTROY_OBJECT, ORVA_COPY_OBJECT and ORVA_MODIFY_OBJECT: the object, then a template.
namespace object_change_layout {
constexpr std::size_t HEADER_SIZE = 200;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t OBJECT = 196;
constexpr std::size_t TEMPLATE = 200;
constexpr std::size_t NEW_OBJECT = 76;  // response of ORVA_COPY_OBJECT
}  // namespace object_change_layout

// ORVA_GET_OBJECT_SIZE, ORVA_GET_ATTRIBUTE_SIZE and ORVA_GET_ATTRIBUTE_VALUE.
namespace object_query_layout {
constexpr std::size_t REQUEST_SIZE = 184;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t OBJECT = 176;
constexpr std::size_t ATTRIBUTE_TYPE = 180;
constexpr std::size_t SIZE = 76;  // response
}  // namespace object_query_layout

namespace attribute_value_layout {
constexpr std::size_t LENGTH = 76;  // response
constexpr std::size_t KIND = 80;
constexpr std::size_t VALUE = 84;
}  // namespace attribute_value_layout

namespace ouid_layout {
constexpr std::size_t REQUEST_SIZE = 184;
constexpr std::size_t RESPONSE_SIZE = 88;
constexpr std::size_t CONTAINER = 172;
constexpr std::size_t FIRST_WORD = 176;
constexpr std::size_t SECOND_WORD = 180;
constexpr std::size_t OUID = 76;  // response
}  // namespace ouid_layout

// A value the HSM marks as one 32-bit word must be four bytes long.
constexpr std::uint32_t WORD_VALUE_KIND = 1;
constexpr std::size_t WORD_SIZE = 4;
// Attributes whose 32-bit value the HSM keeps in the opposite byte order to the host.
constexpr std::uint32_t REVERSED_WORD_ATTRIBUTES[] = {0x80001101, 0x80001102};

constexpr unsigned CHANGE_FLAGS = ops::MULTIPART | ops::MUTATES;

// A handle or size from the reply, read only when the host asked for it.
std::uint32_t read_word(const cmd_t& cmd, std::size_t offset, std::uint32_t* out) {
    if (out == nullptr) {
        return RC_OK;
    }
    auto word = wire::get_u32(cmd.response, offset);
    if (!word) {
        return ops::REPLY_TOO_SHORT;
    }
    *out = *word;
    return RC_OK;
}

std::uint32_t create_once(std::uint32_t session, const api_memory_block* tmpl,
                          std::uint32_t trailer_word, std::uint32_t* handle_out) {
    namespace layout = create_layout;
    auto bytes = ops::required_input(tmpl);
    if (!bytes) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd =
        ops::build_session_command(partition, session, ORVA_CREATE_OBJECT, CHANGE_FLAGS,
                                   layout::HEADER_SIZE + bytes->size(), layout::RESPONSE_SIZE);
    ops::put_bytes(cmd, layout::TEMPLATE, *bytes);
    ops::put_u32(cmd, layout::TEMPLATE + bytes->size(), trailer_word);
    if (std::uint32_t rc = send_context_bound(cmd, session); rc != RC_OK) {
        return rc;
    }
    return read_word(cmd, layout::NEW_OBJECT, handle_out);
}

// ORVA_DESTROY_OBJECT, ORVA_COPY_OBJECT or ORVA_MODIFY_OBJECT of one object; a template only
// for the latter two, and a new handle only from ORVA_COPY_OBJECT.
std::uint32_t change_object_once(std::uint32_t code, std::uint32_t session, std::uint32_t object,
                                 const api_memory_block* tmpl, std::uint32_t* handle_out) {
    namespace layout = object_change_layout;
    auto bytes = ops::optional_input(tmpl);
    if (!bytes) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd =
        ops::build_session_command(partition, session, code, CHANGE_FLAGS,
                                   layout::HEADER_SIZE + bytes->size(), layout::RESPONSE_SIZE);
    ops::put_u32(cmd, layout::OBJECT, object);
    ops::put_bytes(cmd, layout::TEMPLATE, *bytes);
    if (std::uint32_t rc = send_context_bound(cmd, session); rc != RC_OK) {
        return rc;
    }
    return read_word(cmd, layout::NEW_OBJECT, handle_out);
}

std::uint32_t retried_change(std::uint32_t code, std::uint32_t session, std::uint32_t object,
                             const api_memory_block* tmpl, std::uint32_t* handle_out) {
    return automated_retry(
        [&] { return change_object_once(code, session, object, tmpl, handle_out); },
        SEQUENCE_ATTEMPTS);
}

// ORVA_GET_OBJECT_SIZE or ORVA_GET_ATTRIBUTE_SIZE: one word back.
std::uint32_t query_size(std::uint32_t code, std::uint32_t session, std::uint32_t object,
                         std::uint32_t attribute_type, std::uint32_t* size_out) {
    namespace layout = object_query_layout;
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd = ops::build_session_command(partition, session, code, ops::NO_FLAGS,
                                           layout::REQUEST_SIZE, layout::RESPONSE_SIZE);
    ops::put_u32(cmd, layout::OBJECT, object);
    if (code == ORVA_GET_ATTRIBUTE_SIZE) {
        ops::put_u32(cmd, layout::ATTRIBUTE_TYPE, attribute_type);
    }
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    return read_word(cmd, layout::SIZE, size_out);
}

// The kind word and the attribute type decide whether a value must be one word, and whether
// that word is reversed into the host's byte order.
std::uint32_t check_word_value(std::uint32_t kind, std::uint32_t attribute_type,
                               api_memory_block& value) {
    if (kind == WORD_VALUE_KIND) {
        return value.length == WORD_SIZE ? RC_OK : RC_DATA_INVALID;
    }
    if (std::ranges::find(REVERSED_WORD_ATTRIBUTES, attribute_type) ==
        std::end(REVERSED_WORD_ATTRIBUTES)) {
        return RC_OK;
    }
    if (value.length != WORD_SIZE) {
        return RC_DATA_INVALID;
    }
    if (value.data != nullptr) {
        std::reverse(value.data, value.data + WORD_SIZE);
    }
    return RC_OK;
}

std::uint32_t read_attribute_value(const cmd_t& cmd, std::uint32_t attribute_type,
                                   api_memory_block& value) {
    namespace layout = attribute_value_layout;
    const std::uint32_t capacity = value.length;
    auto length = wire::get_u32(cmd.response, layout::LENGTH);
    auto kind = wire::get_u32(cmd.response, layout::KIND);
    if (!length || !kind) {
        return ops::REPLY_TOO_SHORT;
    }
    if (value.data != nullptr) {
        // A reply can outgrow the host's capacity by the few bytes of rounding the response
        // buffer allows; such a value is reported like one the transport refused.
        if (*length > capacity) {
            value.length = *length;
            return ORVA_RET_BUFFER_TOO_SMALL;
        }
        auto bytes = wire::get_bytes(cmd.response, layout::VALUE, *length);
        if (!bytes) {
            return ops::REPLY_TOO_SHORT;
        }
        std::copy(bytes->begin(), bytes->end(), value.data);
    }
    value.length = *length;
    return check_word_value(*kind, attribute_type, value);
}

}  // namespace

std::uint32_t create_object(void*, std::uint32_t session, const api_memory_block* tmpl,
                            std::uint32_t trailer_word, std::uint32_t* handle_out) {
    return automated_retry([&] { return create_once(session, tmpl, trailer_word, handle_out); },
                           SEQUENCE_ATTEMPTS);
}

std::uint32_t destroy_object(void*, std::uint32_t session, std::uint32_t object) {
    return retried_change(ORVA_DESTROY_OBJECT, session, object, nullptr, nullptr);
}

std::uint32_t destroy_multiple_objects(void*, std::uint32_t session, const api_integer_block* list,
                                       std::uint32_t* done_out) {
    if (list == nullptr || (list->data == nullptr && list->count != 0)) {
        return RC_POINTER_INVALID;
    }
    const std::uint32_t count = list->count;
    std::uint32_t index = 0;
    std::uint32_t rc = RC_OK;
    for (; index < count; ++index) {
        rc = destroy_object(nullptr, session, list->data[index]);
        // An object that is already gone is as good as destroyed.
        if (rc != RC_OK && rc != ORVA_RET_OBJECT_HANDLE_INVALID) {
            break;
        }
    }
    if (done_out != nullptr) {
        *done_out = index;
    }
    return index == count ? RC_OK : rc;
}

std::uint32_t copy_object(void*, std::uint32_t session, std::uint32_t object,
                          const api_memory_block* tmpl, std::uint32_t* handle_out) {
    return retried_change(ORVA_COPY_OBJECT, session, object, tmpl, handle_out);
}

std::uint32_t set_attribute_value(void*, std::uint32_t session, std::uint32_t object,
                                  const api_memory_block* tmpl) {
    return retried_change(ORVA_MODIFY_OBJECT, session, object, tmpl, nullptr);
}

std::uint32_t get_object_size(void*, std::uint32_t session, std::uint32_t object,
                              std::uint32_t* size_out) {
    return query_size(ORVA_GET_OBJECT_SIZE, session, object, 0, size_out);
}

std::uint32_t get_attribute_size(void*, std::uint32_t session, std::uint32_t object,
                                 std::uint32_t attribute_type, std::uint32_t* size_out) {
    return query_size(ORVA_GET_ATTRIBUTE_SIZE, session, object, attribute_type, size_out);
}

std::uint32_t get_attribute_value(void*, std::uint32_t session, std::uint32_t object,
                                  std::uint32_t attribute_type, api_memory_block* value) {
    namespace layout = object_query_layout;
    if (value == nullptr) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd = ops::build_session_command(
        partition, session, ORVA_GET_ATTRIBUTE_VALUE, ops::NO_FLAGS, layout::REQUEST_SIZE,
        attribute_value_layout::VALUE + std::size_t{value->length});
    ops::put_u32(cmd, layout::OBJECT, object);
    ops::put_u32(cmd, layout::ATTRIBUTE_TYPE, attribute_type);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    return read_attribute_value(cmd, attribute_type, *value);
}

std::uint32_t get_object_ouid(void*, std::uint32_t container, std::uint32_t first_word,
                              std::uint32_t second_word, std::uint8_t* ouid_out) {
    namespace layout = ouid_layout;
    if (ouid_out == nullptr) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = ops::container_to_partition(container);
    if (partition == 0) {
        return RC_SLOT_ID_INVALID;
    }
    cmd_t cmd = ops::build_command(partition, ORVA_GET_OUID, ops::NO_FLAGS, layout::REQUEST_SIZE,
                                   layout::RESPONSE_SIZE);
    ops::put_u32(cmd, layout::CONTAINER, container);
    ops::put_u32(cmd, layout::FIRST_WORD, first_word);
    ops::put_u32(cmd, layout::SECOND_WORD, second_word);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    auto ouid = wire::get_bytes(cmd.response, layout::OUID, OUID_SIZE);
    if (!ouid) {
        return ops::REPLY_TOO_SHORT;
    }
    std::memcpy(ouid_out, ouid->data(), OUID_SIZE);
    return RC_OK;
}
