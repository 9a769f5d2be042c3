#pragma once
// The plug-in as a host sees it: the library loaded with dlopen, initialised with a slot table,
// and the slots this tool calls, with the types the host calls them with. A slot the plug-in
// left empty answers NO_SLOT.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

inline constexpr std::uint32_t NO_SLOT = 0xC0000002;  // the plug-in's general error

class Library {
  public:
    explicit Library(const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    /// Why the library did not load.
    const std::string& error() const { return error_; }
    void* symbol(const char* name) const;

  private:
    void* handle_;
    std::string error_;
};

struct session_info_t {
    std::uint32_t container = 0;
    std::uint32_t state = 0;  // the words the HSM reports, in order
    std::uint32_t user = 0;
    std::uint32_t flags = 0;
};

/// The plug-in between plugin_initialize and plugin_finalize. The destructor finalises when
/// initialize() was called and finalize() was not, as a host does even after a failed start.
class Plugin {
  public:
    static constexpr std::size_t SLOT_COUNT = 137;
    /// The user type this host logs in as: the partition's normal user.
    static constexpr std::uint32_t NORMAL_USER = 1;

    explicit Plugin(const Library& library) : library_(library) {}
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    std::uint32_t initialize();
    std::uint32_t finalize();

    std::vector<std::uint32_t> containers(std::uint32_t& rc) const;
    std::uint32_t operation_status(std::uint32_t container) const;

    std::uint32_t open_session(std::uint32_t container, std::uint32_t& session) const;
    std::uint32_t close_session(std::uint32_t session) const;
    std::uint32_t login(std::uint32_t session, std::uint32_t container, std::string_view pin) const;
    std::uint32_t logout(std::uint32_t session) const;
    std::uint32_t session_info(std::uint32_t session, session_info_t& info) const;

    std::uint32_t create_object(std::uint32_t session, std::span<const std::uint8_t> tmpl,
                                std::uint32_t& handle) const;
    std::uint32_t destroy_object(std::uint32_t session, std::uint32_t handle) const;
    std::uint32_t object_size(std::uint32_t session, std::uint32_t handle,
                              std::uint32_t& size) const;
    /// Attribute size, then value into a buffer of that size.
    std::uint32_t attribute_value(std::uint32_t session, std::uint32_t handle, std::uint32_t type,
                                  std::vector<std::uint8_t>& value) const;
    /// A whole search: init with `tmpl` (none when empty), updates until a short batch, final.
    std::uint32_t find_objects(std::uint32_t session, std::span<const std::uint8_t> tmpl,
                               std::vector<std::uint32_t>& handles) const;

  private:
    template <typename Fn>
    Fn slot(std::size_t index) const {
        return reinterpret_cast<Fn>(table_[index]);
    }
    std::uint32_t find_batches(std::uint32_t session, std::vector<std::uint32_t>& handles) const;

    using slot_t = void (*)();
    const Library& library_;
    std::array<slot_t, SLOT_COUNT> table_{};
    bool initialised_ = false;
};

}  // namespace host
