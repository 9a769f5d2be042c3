// Object searches. The service does not remember a search between requests: each step carries
// the search context of the init reply and the session's next sequence number.

#include <array>
#include <cstdlib>
#include <memory>

#include "config/codes.h"
#include "config/wire.h"
#include "operations/common.h"
#include "operations/objects.h"
#include "operations/search_contexts.h"
#include "operations/sessions.h"
#include "plugin/boundary.h"
#include "plugin/send_path.h"
#include "plugin/session_maps.h"

namespace {

namespace find_init_layout {
constexpr std::size_t HEADER_SIZE = 176;
constexpr std::size_t RESPONSE_SIZE = 96;
constexpr std::size_t TEMPLATE = 176;
constexpr std::size_t SEARCH_ID = 76;  // response
}  // namespace find_init_layout

// ORVA_FIND_OBJECTS_UPDATE and ORVA_FIND_OBJECTS_FINAL.
namespace find_step_layout {
constexpr std::size_t SEARCH_ID = 176;
constexpr std::size_t SEQUENCE = 192;
constexpr std::size_t FINAL_REQUEST_SIZE = 200;
constexpr std::size_t FINAL_RESPONSE_SIZE = 80;
constexpr std::size_t UPDATE_REQUEST_SIZE = 208;
constexpr std::size_t MAX_COUNT = 200;
constexpr std::size_t COUNT = 76;  // response
constexpr std::size_t HANDLES = 80;
}  // namespace find_step_layout

// The count an update reply gives when the HSM could not tell how many objects it found.
constexpr std::uint32_t UNKNOWN_COUNT = 0xFFFFFFFF;
constexpr std::size_t HANDLE_SIZE = sizeof(std::uint32_t);

// The template get_object_handle searches with: a leading word 12 and the attribute count,
// then the object-unique-id attribute as type, length and value.
namespace ouid_template {
constexpr std::uint32_t LEAD_WORD = 12;
constexpr std::uint32_t ATTRIBUTE_COUNT = 1;
constexpr std::uint32_t OUID_ATTRIBUTE = 0x80000005;
constexpr std::size_t LEAD = 0;
constexpr std::size_t COUNT = 4;
constexpr std::size_t TYPE = 8;
constexpr std::size_t LENGTH = 12;
constexpr std::size_t VALUE = 16;
constexpr std::size_t SIZE = VALUE + OUID_SIZE;
}  // namespace ouid_template

std::array<std::uint8_t, ouid_template::SIZE> make_ouid_template(const std::uint8_t* ouid) {
    namespace layout = ouid_template;
    std::array<std::uint8_t, layout::SIZE> tmpl{};
    wire::put_u32(tmpl, layout::LEAD, layout::LEAD_WORD);
    wire::put_u32(tmpl, layout::COUNT, layout::ATTRIBUTE_COUNT);
    wire::put_u32(tmpl, layout::TYPE, layout::OUID_ATTRIBUTE);
    wire::put_u32(tmpl, layout::LENGTH, static_cast<std::uint32_t>(OUID_SIZE));
    wire::put_bytes(tmpl, layout::VALUE, std::span<const std::uint8_t>(ouid, OUID_SIZE));
    return tmpl;
}

cmd_t build_search_step(std::uint64_t partition, std::uint32_t session, std::uint32_t code,
                        const saved_context_t& step, std::size_t request_size,
                        std::size_t response_size) {
    namespace layout = find_step_layout;
    cmd_t cmd = ops::build_session_command(partition, session, code, ops::MULTIPART, request_size,
                                           response_size);
    ops::put_bytes(cmd, layout::SEARCH_ID, step.id);
    ops::put_u64(cmd, layout::SEQUENCE, step.sequence);
    return cmd;
}

// The handles of an update reply, in a malloc'd array the host releases through slot 3.
std::uint32_t read_found_handles(const cmd_t& cmd, std::uint32_t max_count,
                                 api_integer_block& list) {
    namespace layout = find_step_layout;
    auto count = wire::get_u32(cmd.response, layout::COUNT);
    if (!count) {
        return ops::REPLY_TOO_SHORT;
    }
    if (*count == UNKNOWN_COUNT) {
        return ORVA_RET_DATA_LEN_RANGE;
    }
    // More handles than asked for: what the transport reports for a reply that outgrows the
    // buffer, which rounding can let through by one handle.
    if (*count > max_count) {
        return ORVA_RET_BUFFER_TOO_SMALL;
    }
    auto handles = wire::get_bytes(cmd.response, layout::HANDLES, *count * HANDLE_SIZE);
    if (!handles) {
        return ops::REPLY_TOO_SHORT;
    }
    if (*count == 0) {
        list.data = nullptr;
        list.count = 0;
        return RC_OK;
    }
    auto* array = static_cast<std::uint32_t*>(std::malloc(*count * HANDLE_SIZE));
    if (array == nullptr) {
        list.data = nullptr;
        list.count = 0;
        return RC_MEMORY_ALLOCATION;
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
        array[i] = *wire::get_u32(*handles, i * HANDLE_SIZE);
    }
    list.data = array;
    list.count = *count;
    return RC_OK;
}

// Ends the search and closes the session of get_object_handle on every path; their results
// do not change the operation's.
class temporary_session {
  public:
    explicit temporary_session(std::uint32_t session) : session_(session) {}
    ~temporary_session() {
        if (searching_) {
            boundary::guarded<find_objects_final>::call(nullptr, session_);
        }
        boundary::guarded<close_session>::call(nullptr, session_);
    }
    temporary_session(const temporary_session&) = delete;
    temporary_session& operator=(const temporary_session&) = delete;

    void searching() { searching_ = true; }

  private:
    std::uint32_t session_;
    bool searching_ = false;
};

struct free_deleter {
    void operator()(std::uint32_t* p) const { std::free(p); }
};

}  // namespace

std::uint32_t find_objects_init(void*, std::uint32_t session, const api_memory_block* tmpl) {
    namespace layout = find_init_layout;
    auto bytes = ops::optional_input(tmpl);
    if (!bytes) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    cmd_t cmd =
        ops::build_session_command(partition, session, ORVA_FIND_OBJECTS_INIT, ops::MULTIPART,
                                   layout::HEADER_SIZE + bytes->size(), layout::RESPONSE_SIZE);
    ops::put_bytes(cmd, layout::TEMPLATE, *bytes);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    ops::search_id_t id;
    auto reply_id = wire::get_bytes(cmd.response, layout::SEARCH_ID, id.size());
    if (!reply_id) {
        return ops::REPLY_TOO_SHORT;
    }
    std::copy(reply_id->begin(), reply_id->end(), id.begin());
    ops::start_search(session, id);
    return RC_OK;
}

std::uint32_t find_objects_update(void*, std::uint32_t session, api_integer_block* list_out,
                                  std::uint32_t max_count) {
    namespace layout = find_step_layout;
    if (list_out == nullptr) {
        return RC_POINTER_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    auto step = ops::take_search_step(session);
    if (!step) {
        return RC_GENERAL_ERROR;
    }
    cmd_t cmd =
        build_search_step(partition, session, ORVA_FIND_OBJECTS_UPDATE, *step,
                          layout::UPDATE_REQUEST_SIZE, layout::HANDLES + HANDLE_SIZE * max_count);
    ops::put_u32(cmd, layout::MAX_COUNT, max_count);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    return read_found_handles(cmd, max_count, *list_out);
}

std::uint32_t find_objects_final(void*, std::uint32_t session) {
    namespace layout = find_step_layout;
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    // The entry stays: the next init replaces it, the session's close removes it.
    auto step = ops::take_search_step(session);
    if (!step) {
        return ORVA_RET_CONTEXT_INVALID;
    }
    cmd_t cmd = build_search_step(partition, session, ORVA_FIND_OBJECTS_FINAL, *step,
                                  layout::FINAL_REQUEST_SIZE, layout::FINAL_RESPONSE_SIZE);
    return send_command(cmd);
}

std::uint32_t get_object_handle(void*, std::uint32_t container, const std::uint8_t* ouid,
                                std::uint32_t* found_out, std::uint32_t* handle_out) {
    if (ouid == nullptr) {
        return RC_POINTER_INVALID;
    }
    std::uint32_t session = 0;
    if (std::uint32_t rc = open_session(nullptr, 0, container, &session, 0); rc != RC_OK) {
        return rc;
    }
    temporary_session cleanup(session);
    auto tmpl = make_ouid_template(ouid);
    const api_memory_block block{tmpl.data(), static_cast<std::uint32_t>(tmpl.size())};
    if (std::uint32_t rc = find_objects_init(nullptr, session, &block); rc != RC_OK) {
        return rc;
    }
    cleanup.searching();
    api_integer_block found{nullptr, 0};
    const std::uint32_t rc = find_objects_update(nullptr, session, &found, 1);
    std::unique_ptr<std::uint32_t, free_deleter> owned(found.data);
    if (rc == RC_OK) {
        const bool one = found.count == 1;
        if (found_out != nullptr) {
            *found_out = one ? 1 : 0;
        }
        if (handle_out != nullptr) {
            *handle_out = one ? found.data[0] : 0;
        }
    }
    return rc;
}
