#include "tools/host/plugin_host.h"

#include <dlfcn.h>

#include <cstdlib>

namespace host {
namespace {

constexpr int PLUGIN_INTERFACE_VERSION = 1;
constexpr std::uint32_t OK = 0;

// The host's structures, laid out as the host lays them out.
struct memory_block_t {
    std::uint8_t* data;
    std::uint32_t length;  // in: capacity; out: length produced or needed
};
struct integer_block_t {
    std::uint32_t* data;
    std::uint32_t count;
};
struct session_words_t {
    std::uint32_t words[3];
};

// Slots, by index, with the types the host calls them with.
namespace slots {
constexpr std::size_t DELETE_INTEGERS = 3;
constexpr std::size_t GET_SESSION_INFO = 21;
constexpr std::size_t GET_CONTAINER_LIST = 48;
constexpr std::size_t OPEN_SESSION = 57;
constexpr std::size_t CLOSE_SESSION = 58;
constexpr std::size_t LOGIN = 61;
constexpr std::size_t LOGOUT = 63;
constexpr std::size_t CREATE_OBJECT = 64;
constexpr std::size_t DESTROY_OBJECT = 65;
constexpr std::size_t GET_OBJECT_SIZE = 68;
constexpr std::size_t GET_ATTRIBUTE_SIZE = 69;
constexpr std::size_t GET_ATTRIBUTE_VALUE = 70;
constexpr std::size_t FIND_OBJECTS_INIT = 72;
constexpr std::size_t FIND_OBJECTS_UPDATE = 73;
constexpr std::size_t FIND_OBJECTS_FINAL = 74;
constexpr std::size_t GET_OPERATION_STATUS = 135;

using delete_integers_fn = void (*)(std::uint32_t*, std::uint32_t);
using get_session_info_fn = std::uint32_t (*)(void*, std::uint32_t, session_words_t*,
                                              std::uint32_t*, std::uint32_t*, std::uint32_t*,
                                              std::uint32_t*);
using get_container_list_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                                integer_block_t*);
using open_session_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t, std::uint32_t*,
                                          std::uint64_t);
using session_fn = std::uint32_t (*)(void*, std::uint32_t);
using login_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t, std::uint32_t,
                                   const memory_block_t*, std::uint32_t, bool);
using create_object_fn = std::uint32_t (*)(void*, std::uint32_t, const memory_block_t*,
                                           std::uint32_t, std::uint32_t*);
using destroy_object_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t);
using get_object_size_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                             std::uint32_t*);
using get_attribute_size_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                                std::uint32_t, std::uint32_t*);
using get_attribute_value_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                                 std::uint32_t, memory_block_t*);
using find_objects_init_fn = std::uint32_t (*)(void*, std::uint32_t, const memory_block_t*);
using find_objects_update_fn = std::uint32_t (*)(void*, std::uint32_t, integer_block_t*,
                                                 std::uint32_t);
using get_operation_status_fn = std::uint32_t (*)(void*, std::uint32_t);
}  // namespace slots

using initialize_fn = std::uint32_t (*)(int, void (**)());
using finalize_fn = std::uint32_t (*)();

// The plug-in only reads the blocks a host passes in for input.
memory_block_t input_block(std::span<const std::uint8_t> bytes) {
    return {const_cast<std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size())};
}

constexpr std::uint32_t FIND_BATCH = 64;
constexpr std::uint32_t LOGIN_AUXILIARY = 0;  // not used by the plug-in: login picks its mode

}  // namespace

Library::Library(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error_ = why != nullptr ? why : "unknown error";
    }
}

Library::~Library() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

void* Library::symbol(const char* name) const {
    return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

Plugin::~Plugin() {
    if (initialised_) {
        finalize();
    }
}

std::uint32_t Plugin::initialize() {
    auto init = reinterpret_cast<initialize_fn>(library_.symbol("plugin_initialize"));
    if (init == nullptr) {
        return NO_SLOT;
    }
    initialised_ = true;
    return init(PLUGIN_INTERFACE_VERSION, table_.data());
}

std::uint32_t Plugin::finalize() {
    initialised_ = false;
    auto fin = reinterpret_cast<finalize_fn>(library_.symbol("plugin_finalize"));
    return fin == nullptr ? NO_SLOT : fin();
}

std::vector<std::uint32_t> Plugin::containers(std::uint32_t& rc) const {
    std::vector<std::uint32_t> containers;
    auto list = slot<slots::get_container_list_fn>(slots::GET_CONTAINER_LIST);
    auto release = slot<slots::delete_integers_fn>(slots::DELETE_INTEGERS);
    if (list == nullptr || release == nullptr) {
        rc = NO_SLOT;
        return containers;
    }
    integer_block_t block{nullptr, 0};
    rc = list(nullptr, 0, 0, &block);
    if (rc == OK && block.data != nullptr) {
        containers.assign(block.data, block.data + block.count);
    }
    release(block.data, block.count);
    return containers;
}

std::uint32_t Plugin::operation_status(std::uint32_t container) const {
    auto status = slot<slots::get_operation_status_fn>(slots::GET_OPERATION_STATUS);
    return status == nullptr ? NO_SLOT : status(nullptr, container);
}

std::uint32_t Plugin::open_session(std::uint32_t container, std::uint32_t& session) const {
    auto open = slot<slots::open_session_fn>(slots::OPEN_SESSION);
    return open == nullptr ? NO_SLOT : open(nullptr, 0, container, &session, 0);
}

std::uint32_t Plugin::close_session(std::uint32_t session) const {
    auto close = slot<slots::session_fn>(slots::CLOSE_SESSION);
    return close == nullptr ? NO_SLOT : close(nullptr, session);
}

std::uint32_t Plugin::login(std::uint32_t session, std::uint32_t container,
                            std::string_view pin) const {
    auto login = slot<slots::login_fn>(slots::LOGIN);
    if (login == nullptr) {
        return NO_SLOT;
    }
    const auto secret = input_block(
        {reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()});
    return login(nullptr, session, container, NORMAL_USER, &secret, LOGIN_AUXILIARY, false);
}

std::uint32_t Plugin::logout(std::uint32_t session) const {
    auto logout = slot<slots::session_fn>(slots::LOGOUT);
    return logout == nullptr ? NO_SLOT : logout(nullptr, session);
}

std::uint32_t Plugin::session_info(std::uint32_t session, session_info_t& info) const {
    auto get = slot<slots::get_session_info_fn>(slots::GET_SESSION_INFO);
    if (get == nullptr) {
        return NO_SLOT;
    }
    session_words_t unused{};
    return get(nullptr, session, &unused, &info.container, &info.state, &info.user, &info.flags);
}

std::uint32_t Plugin::create_object(std::uint32_t session, std::span<const std::uint8_t> tmpl,
                                    std::uint32_t& handle) const {
    auto create = slot<slots::create_object_fn>(slots::CREATE_OBJECT);
    if (create == nullptr) {
        return NO_SLOT;
    }
    const auto block = input_block(tmpl);
    return create(nullptr, session, &block, 0, &handle);
}

std::uint32_t Plugin::destroy_object(std::uint32_t session, std::uint32_t handle) const {
    auto destroy = slot<slots::destroy_object_fn>(slots::DESTROY_OBJECT);
    return destroy == nullptr ? NO_SLOT : destroy(nullptr, session, handle);
}

std::uint32_t Plugin::object_size(std::uint32_t session, std::uint32_t handle,
                                  std::uint32_t& size) const {
    auto get = slot<slots::get_object_size_fn>(slots::GET_OBJECT_SIZE);
    return get == nullptr ? NO_SLOT : get(nullptr, session, handle, &size);
}

std::uint32_t Plugin::attribute_value(std::uint32_t session, std::uint32_t handle,
                                      std::uint32_t type, std::vector<std::uint8_t>& value) const {
    auto get_size = slot<slots::get_attribute_size_fn>(slots::GET_ATTRIBUTE_SIZE);
    auto get_value = slot<slots::get_attribute_value_fn>(slots::GET_ATTRIBUTE_VALUE);
    if (get_size == nullptr || get_value == nullptr) {
        return NO_SLOT;
    }
    std::uint32_t size = 0;
    if (std::uint32_t rc = get_size(nullptr, session, handle, type, &size); rc != OK) {
        return rc;
    }
    value.assign(size, 0);
    memory_block_t block{value.data(), size};
    const std::uint32_t rc = get_value(nullptr, session, handle, type, &block);
    value.resize(rc == OK && block.length <= size ? block.length : 0);
    return rc;
}

std::uint32_t Plugin::find_objects(std::uint32_t session, std::span<const std::uint8_t> tmpl,
                                   std::vector<std::uint32_t>& handles) const {
    auto init = slot<slots::find_objects_init_fn>(slots::FIND_OBJECTS_INIT);
    auto final = slot<slots::session_fn>(slots::FIND_OBJECTS_FINAL);
    if (init == nullptr || final == nullptr) {
        return NO_SLOT;
    }
    const auto block = input_block(tmpl);
    if (std::uint32_t rc = init(nullptr, session, tmpl.empty() ? nullptr : &block); rc != OK) {
        return rc;
    }
    const std::uint32_t rc = find_batches(session, handles);
    const std::uint32_t final_rc = final(nullptr, session);
    return rc != OK ? rc : final_rc;
}

std::uint32_t Plugin::find_batches(std::uint32_t session,
                                   std::vector<std::uint32_t>& handles) const {
    auto update = slot<slots::find_objects_update_fn>(slots::FIND_OBJECTS_UPDATE);
    auto release = slot<slots::delete_integers_fn>(slots::DELETE_INTEGERS);
    if (update == nullptr || release == nullptr) {
        return NO_SLOT;
    }
    for (;;) {
        integer_block_t batch{nullptr, 0};
        const std::uint32_t rc = update(nullptr, session, &batch, FIND_BATCH);
        if (rc == OK && batch.data != nullptr) {
            handles.insert(handles.end(), batch.data, batch.data + batch.count);
        }
        release(batch.data, batch.count);
        if (rc != OK || batch.count < FIND_BATCH) {
            return rc;
        }
    }
}

}  // namespace host
