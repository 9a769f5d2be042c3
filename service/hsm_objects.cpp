// Objects of the emulated HSM: attribute templates with handles and 12-byte unique ids, their
// sizes and values, changes, copies, destruction, and searches.
//
// Templates. Clients pass templates through unparsed; the service accepts this serialisation,
// all words 32-bit little-endian:
//
//   offset 0   format word, always 12
//   offset 4   attribute count n (at most 256)
//   offset 8   n attributes, back to back, each: type, value length L (at most 65536), then
//              the L value bytes, without padding
//
// An empty template (count 0) is allowed where a template is optional. What follows the last
// attribute in a request is the creation's trailer word, or zero padding to a multiple of
// eight bytes; a template area shorter than the 8-byte header counts as no template. The
// unique id is attribute 0x80000005: it can be read and searched for, never set. Two
// attributes of one type make a template inconsistent.
//
// Rules of this stand-in: creating, copying, changing and destroying objects need a session
// that is logged in; reading and searching need an open session (or, for ORVA_GET_OUID, none:
// its first word is the object handle, its second word is not used). Attribute values are
// returned with kind word 0 (a byte string), whatever their length. An object's size is the
// size of its template in the serialisation above, unique id included. A search takes the
// handles matching when it starts; a later step skips those destroyed since. Each search step
// carries a sequence number above the previous step's, and a final step ends the search.
#include <algorithm>

#include "service/crypto.h"
#include "service/hsm_sessions.h"

namespace service {
namespace {

namespace template_format {
constexpr std::uint32_t FORMAT_WORD = 12;
constexpr std::size_t FORMAT = 0;
constexpr std::size_t COUNT = 4;
constexpr std::size_t HEADER_SIZE = 8;
constexpr std::size_t ATTRIBUTE_HEADER_SIZE = 8;  // type and length
constexpr std::uint32_t MAX_ATTRIBUTES = 256;
constexpr std::uint32_t MAX_VALUE = 65536;
}  // namespace template_format

// Request fields (offsets as on the wire).
constexpr std::size_t CREATE_TEMPLATE = 196;
constexpr std::size_t CHANGE_OBJECT = 196;
constexpr std::size_t CHANGE_TEMPLATE = 200;
constexpr std::size_t QUERY_OBJECT = 176;
constexpr std::size_t QUERY_ATTRIBUTE = 180;
constexpr std::size_t FIND_TEMPLATE = 176;
constexpr std::size_t SEARCH_ID = 176;
constexpr std::size_t SEARCH_SEQUENCE = 192;
constexpr std::size_t SEARCH_MAX_COUNT = 200;
constexpr std::size_t OUID_OBJECT = 176;

// Reply fields (offsets in the body after the result word).
constexpr std::size_t RSP_WORD = 0;
constexpr std::size_t RSP_VALUE_LENGTH = 0;
constexpr std::size_t RSP_VALUE_KIND = 4;
constexpr std::size_t RSP_VALUE = 8;
constexpr std::uint32_t BYTE_STRING_KIND = 0;
constexpr std::size_t RSP_COUNT = 0;
constexpr std::size_t RSP_HANDLES = 4;
constexpr std::size_t HANDLE_SIZE = 4;

struct parsed_template_t {
    std::vector<attribute_t> attributes;
    std::size_t size = 0;  // bytes the template took
};

// The template at `offset`; none (and size 0) when fewer than its header's bytes are there.
std::optional<parsed_template_t> parse_template(std::span<const std::uint8_t> request,
                                                std::size_t offset, std::uint32_t& result) {
    namespace format = template_format;
    parsed_template_t parsed;
    result = ORVA_RET_OK;
    if (offset >= request.size() || request.size() - offset < format::HEADER_SIZE) {
        return parsed;
    }
    const auto count = get_u32(request, offset + format::COUNT);
    if (get_u32(request, offset + format::FORMAT) != format::FORMAT_WORD ||
        count > format::MAX_ATTRIBUTES) {
        result = ORVA_RET_TEMPLATE_INCONSISTENT;
        return std::nullopt;
    }
    std::size_t at = offset + format::HEADER_SIZE;
    for (std::uint32_t i = 0; i < count; ++i) {
        attribute_t attribute{get_u32(request, at), {}};
        const auto length = get_u32(request, at + 4);
        if (length > format::MAX_VALUE) {
            result = ORVA_RET_TEMPLATE_INCONSISTENT;
            return std::nullopt;
        }
        auto value = get_bytes(request, at + format::ATTRIBUTE_HEADER_SIZE, length);
        attribute.value.assign(value.begin(), value.end());
        at += format::ATTRIBUTE_HEADER_SIZE + length;
        const bool repeated = std::ranges::any_of(
            parsed.attributes, [&](const attribute_t& a) { return a.type == attribute.type; });
        if (repeated) {
            result = ORVA_RET_TEMPLATE_INCONSISTENT;
            return std::nullopt;
        }
        parsed.attributes.push_back(std::move(attribute));
    }
    parsed.size = at - offset;
    return parsed;
}

// A template that sets attributes: it may not name the unique id.
std::optional<parsed_template_t> settable_template(const command_t& command, std::size_t offset,
                                                   std::uint32_t& result) {
    auto parsed = parse_template(command.request, offset, result);
    if (parsed && std::ranges::any_of(parsed->attributes, [](const attribute_t& a) {
            return a.type == OUID_ATTRIBUTE;
        })) {
        result = ORVA_RET_TEMPLATE_INCONSISTENT;
        return std::nullopt;
    }
    return parsed;
}

std::optional<bytes> attribute_of(const object_record_t& object, std::uint32_t type) {
    if (type == OUID_ATTRIBUTE) {
        return bytes(object.ouid.begin(), object.ouid.end());
    }
    for (const auto& attribute : object.attributes) {
        if (attribute.type == type) {
            return attribute.value;
        }
    }
    return std::nullopt;
}

std::size_t object_size(const object_record_t& object) {
    namespace format = template_format;
    std::size_t size = format::HEADER_SIZE + format::ATTRIBUTE_HEADER_SIZE + OUID_SIZE;
    for (const auto& attribute : object.attributes) {
        size += format::ATTRIBUTE_HEADER_SIZE + attribute.value.size();
    }
    return size;
}

void apply_changes(object_record_t& object, const std::vector<attribute_t>& changes) {
    for (const auto& change : changes) {
        auto it = std::ranges::find(object.attributes, change.type, &attribute_t::type);
        if (it == object.attributes.end()) {
            object.attributes.push_back(change);
        } else {
            it->value = change.value;
        }
    }
}

// A session open for this application, and logged in when `need_login`.
std::uint32_t check_session(command_t& command, bool need_login) {
    const auto* session = session_of(command);
    if (session == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    return need_login && !session->logged_in ? ORVA_RET_USER_NOT_LOGGED_IN : ORVA_RET_OK;
}

object_record_t* object_at(command_t& command, std::size_t offset) {
    auto& objects = command.partition.state().objects;
    auto it = objects.find(get_u32(command.request, offset));
    return it == objects.end() ? nullptr : &it->second;
}

// Stores a new object with a fresh handle and unique id; the handle goes to the reply.
std::uint32_t store_object(command_t& command, object_record_t object) {
    auto& state = command.partition.state();
    if (state.objects.size() >= command.hsm.options().object_capacity) {
        return ORVA_RET_MAX_OBJECT_COUNT;
    }
    // Unique ids: the count of objects ever made here, then the partition's serial.
    put_le<std::uint64_t>(object.ouid, 0, ++state.objects_made);
    put_u32(object.ouid, 8, static_cast<std::uint32_t>(command.partition.serial()));
    std::uint32_t handle = state.next_object;
    while (handle == 0 || state.objects.contains(handle)) {
        ++handle;
    }
    state.next_object = handle + 1;
    state.objects.emplace(handle, std::move(object));
    command.body.assign(HANDLE_SIZE, 0);
    put_u32(command.body, RSP_WORD, handle);
    command.partition.bump_version();
    return ORVA_RET_OK;
}

std::uint32_t create_object(command_t& command) {
    if (auto rc = check_session(command, true); rc != ORVA_RET_OK) {
        return rc;
    }
    std::uint32_t result = ORVA_RET_OK;
    auto parsed = settable_template(command, CREATE_TEMPLATE, result);
    if (!parsed) {
        return result;
    }
    if (parsed->attributes.empty()) {
        return ORVA_RET_TEMPLATE_INCOMPLETE;
    }
    get_u32(command.request, CREATE_TEMPLATE + parsed->size);  // the trailer word must be there
    return store_object(command, object_record_t{std::move(parsed->attributes), {}});
}

std::uint32_t destroy_object(command_t& command) {
    if (auto rc = check_session(command, true); rc != ORVA_RET_OK) {
        return rc;
    }
    if (command.partition.state().objects.erase(get_u32(command.request, CHANGE_OBJECT)) == 0) {
        return ORVA_RET_OBJECT_HANDLE_INVALID;
    }
    command.partition.bump_version();
    return ORVA_RET_OK;
}

// ORVA_COPY_OBJECT (`copy`) or ORVA_MODIFY_OBJECT.
std::uint32_t change_object(command_t& command, bool copy) {
    if (auto rc = check_session(command, true); rc != ORVA_RET_OK) {
        return rc;
    }
    auto* object = object_at(command, CHANGE_OBJECT);
    if (object == nullptr) {
        return ORVA_RET_OBJECT_HANDLE_INVALID;
    }
    std::uint32_t result = ORVA_RET_OK;
    auto parsed = settable_template(command, CHANGE_TEMPLATE, result);
    if (!parsed) {
        return result;
    }
    if (copy) {
        object_record_t twin{object->attributes, {}};
        apply_changes(twin, parsed->attributes);
        return store_object(command, std::move(twin));
    }
    apply_changes(*object, parsed->attributes);
    command.partition.bump_version();
    return ORVA_RET_OK;
}

// ORVA_GET_OBJECT_SIZE (`attribute` false) or ORVA_GET_ATTRIBUTE_SIZE.
std::uint32_t query_size(command_t& command, bool attribute) {
    if (auto rc = check_session(command, false); rc != ORVA_RET_OK) {
        return rc;
    }
    const auto* object = object_at(command, QUERY_OBJECT);
    if (object == nullptr) {
        return ORVA_RET_OBJECT_HANDLE_INVALID;
    }
    std::size_t size = object_size(*object);
    if (attribute) {
        auto value = attribute_of(*object, get_u32(command.request, QUERY_ATTRIBUTE));
        if (!value) {
            return ORVA_RET_ATTRIBUTE_TYPE_INVALID;
        }
        size = value->size();
    }
    command.body.assign(HANDLE_SIZE, 0);
    put_u32(command.body, RSP_WORD, static_cast<std::uint32_t>(size));
    return ORVA_RET_OK;
}

std::uint32_t attribute_value(command_t& command) {
    if (auto rc = check_session(command, false); rc != ORVA_RET_OK) {
        return rc;
    }
    const auto* object = object_at(command, QUERY_OBJECT);
    if (object == nullptr) {
        return ORVA_RET_OBJECT_HANDLE_INVALID;
    }
    auto value = attribute_of(*object, get_u32(command.request, QUERY_ATTRIBUTE));
    if (!value) {
        return ORVA_RET_ATTRIBUTE_TYPE_INVALID;
    }
    command.body.assign(RSP_VALUE + value->size(), 0);
    put_u32(command.body, RSP_VALUE_LENGTH, static_cast<std::uint32_t>(value->size()));
    put_u32(command.body, RSP_VALUE_KIND, BYTE_STRING_KIND);
    put_bytes(command.body, RSP_VALUE, *value);
    return ORVA_RET_OK;
}

bool matches(const object_record_t& object, const std::vector<attribute_t>& wanted) {
    return std::ranges::all_of(wanted, [&](const attribute_t& attribute) {
        auto value = attribute_of(object, attribute.type);
        return value && *value == attribute.value;
    });
}

std::uint32_t find_init(command_t& command) {
    if (auto rc = check_session(command, false); rc != ORVA_RET_OK) {
        return rc;
    }
    std::uint32_t result = ORVA_RET_OK;
    auto parsed = parse_template(command.request, FIND_TEMPLATE, result);
    if (!parsed) {
        return result;
    }
    saved_context_id_t id;
    if (!crypto::random_bytes(id)) {
        return ORVA_RET_GENERAL_ERROR;
    }
    search_record_t search{command.word0(), {}, 0};
    for (const auto& [handle, object] : command.partition.state().objects) {
        if (matches(object, parsed->attributes)) {
            search.handles.push_back(handle);
        }
    }
    // One search a session: a new one replaces the one it ran.
    end_searches_of(command.partition, command.word0());
    command.partition.state().searches.emplace(id, std::move(search));
    command.body.assign(id.size(), 0);
    put_bytes(command.body, RSP_WORD, id);
    return ORVA_RET_OK;
}

// The session's search named by the step, after its sequence number was checked.
search_record_t* search_step(command_t& command, saved_context_id_t& id, std::uint32_t& result) {
    if (result = check_session(command, false); result != ORVA_RET_OK) {
        return nullptr;
    }
    auto source = get_bytes(command.request, SEARCH_ID, id.size());
    std::copy(source.begin(), source.end(), id.begin());
    auto& searches = command.partition.state().searches;
    auto it = searches.find(id);
    result = ORVA_RET_CONTEXT_INVALID;
    if (it == searches.end() || it->second.session != command.word0() ||
        !command.advance_saved_context(id, get_u64(command.request, SEARCH_SEQUENCE))) {
        return nullptr;
    }
    result = ORVA_RET_OK;
    return &it->second;
}

std::uint32_t find_update(command_t& command) {
    saved_context_id_t id;
    std::uint32_t result = ORVA_RET_OK;
    auto* search = search_step(command, id, result);
    if (search == nullptr) {
        return result;
    }
    const auto max_count = get_u32(command.request, SEARCH_MAX_COUNT);
    const auto& objects = command.partition.state().objects;
    std::vector<std::uint32_t> found;
    while (search->next < search->handles.size() && found.size() < max_count) {
        const auto handle = search->handles[search->next++];
        if (objects.contains(handle)) {
            found.push_back(handle);
        }
    }
    command.body.assign(RSP_HANDLES + HANDLE_SIZE * found.size(), 0);
    put_u32(command.body, RSP_COUNT, static_cast<std::uint32_t>(found.size()));
    for (std::size_t i = 0; i < found.size(); ++i) {
        put_u32(command.body, RSP_HANDLES + HANDLE_SIZE * i, found[i]);
    }
    return ORVA_RET_OK;
}

std::uint32_t find_final(command_t& command) {
    saved_context_id_t id;
    std::uint32_t result = ORVA_RET_OK;
    if (search_step(command, id, result) == nullptr) {
        return result;
    }
    command.partition.state().searches.erase(id);
    command.partition.forget_saved_context(id);
    return ORVA_RET_OK;
}

std::uint32_t get_ouid(command_t& command) {
    const auto* object = object_at(command, OUID_OBJECT);
    if (object == nullptr) {
        return ORVA_RET_OBJECT_HANDLE_INVALID;
    }
    command.body.assign(object->ouid.begin(), object->ouid.end());
    return ORVA_RET_OK;
}

}  // namespace

void register_object_commands(command_table& table) {
    table.add(ORVA_CREATE_OBJECT, create_object);
    table.add(ORVA_DESTROY_OBJECT, destroy_object);
    table.add(ORVA_COPY_OBJECT, [](command_t& command) { return change_object(command, true); });
    table.add(ORVA_MODIFY_OBJECT, [](command_t& command) { return change_object(command, false); });
    table.add(ORVA_GET_OBJECT_SIZE, [](command_t& command) { return query_size(command, false); });
    table.add(ORVA_GET_ATTRIBUTE_SIZE,
              [](command_t& command) { return query_size(command, true); });
    table.add(ORVA_GET_ATTRIBUTE_VALUE, attribute_value);
    table.add(ORVA_FIND_OBJECTS_INIT, find_init);
    table.add(ORVA_FIND_OBJECTS_UPDATE, find_update);
    table.add(ORVA_FIND_OBJECTS_FINAL, find_final);
    table.add(ORVA_GET_OUID, get_ouid);
}

}  // namespace service
