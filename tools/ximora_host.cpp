// A command-line host: loads the plug-in the way an HSM client library does and calls its
// slots. Each subcommand initialises the plug-in, does its work and finalises it.
#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/code_names.h"

namespace {

constexpr std::size_t SLOT_COUNT = 137;
constexpr int PLUGIN_INTERFACE_VERSION = 1;

using slot_t = void (*)();
using get_version_fn = void (*)(std::int32_t*, std::int32_t*);
using get_description_fn = const char* (*)();
using initialize_fn = std::uint32_t (*)(int, slot_t*);
using finalize_fn = std::uint32_t (*)();

struct integer_block {
    std::uint32_t* data;
    std::uint32_t count;
};

// Slots, by index, with the types the host calls them with.
namespace slots {
constexpr std::size_t DELETE_INTEGERS = 3;
using delete_integers_fn = void (*)(std::uint32_t*, std::uint32_t);
constexpr std::size_t GET_CONTAINER_LIST = 48;
using get_container_list_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                                integer_block*);
constexpr std::size_t GET_OPERATION_STATUS = 135;
using get_operation_status_fn = std::uint32_t (*)(void*, std::uint32_t);
}  // namespace slots

class Library {
public:
    explicit Library(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn symbol(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

void print_result(const char* what, std::uint32_t rc) {
    std::printf("%-28s %s (0x%08X)\n", what, ResultCode(rc).AsString(), rc);
}

// The plug-in between plugin_initialize and plugin_finalize, with its slot table.
class Session {
public:
    explicit Session(const Library& plugin) : plugin_(plugin) {}
    ~Session() {
        if (initialised_) {
            auto finalize = plugin_.symbol<finalize_fn>("plugin_finalize");
            print_result("plugin_finalize", finalize());
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::uint32_t initialize() {
        auto init = plugin_.symbol<initialize_fn>("plugin_initialize");
        if (init == nullptr) {
            return 0xC0000002;
        }
        std::uint32_t rc = init(PLUGIN_INTERFACE_VERSION, table_.data());
        print_result("plugin_initialize", rc);
        initialised_ = true;  // finalise even after a failed start: the plug-in expects it
        return rc;
    }
    template <typename Fn>
    Fn slot(std::size_t index) const {
        return reinterpret_cast<Fn>(table_[index]);
    }

private:
    const Library& plugin_;
    std::array<slot_t, SLOT_COUNT> table_{};
    bool initialised_ = false;
};

std::vector<std::uint32_t> container_list(const Session& session, std::uint32_t& rc) {
    std::vector<std::uint32_t> containers;
    auto list = session.slot<slots::get_container_list_fn>(slots::GET_CONTAINER_LIST);
    auto release = session.slot<slots::delete_integers_fn>(slots::DELETE_INTEGERS);
    if (list == nullptr || release == nullptr) {
        rc = 0xC0000002;
        return containers;
    }
    integer_block block{nullptr, 0};
    rc = list(nullptr, 0, 0, &block);
    if (rc == 0 && block.data != nullptr) {
        containers.assign(block.data, block.data + block.count);
    }
    release(block.data, block.count);
    return containers;
}

const char* status_text(std::uint32_t status) {
    switch (status) {
        case 1:
            return "operational";
        case 2:
            return "not operational";
        default:
            return "unknown container";
    }
}

int run_version(const Library& plugin) {
    auto get_version = plugin.symbol<get_version_fn>("plugin_get_version");
    auto get_description = plugin.symbol<get_description_fn>("plugin_get_description");
    if (get_version == nullptr || get_description == nullptr) {
        std::fprintf(stderr, "ximora-host: the library does not export the plug-in interface\n");
        return 1;
    }
    std::int32_t major = 0;
    std::int32_t minor = 0;
    get_version(&major, &minor);
    std::printf("%s %d.%d\n", get_description(), major, minor);
    return 0;
}

int list_containers(const Session& session, bool with_status) {
    std::uint32_t rc = 0;
    auto containers = container_list(session, rc);
    print_result("get_container_list", rc);
    if (rc != 0) {
        return 1;
    }
    std::printf("%zu container(s)\n", containers.size());
    auto status = session.slot<slots::get_operation_status_fn>(slots::GET_OPERATION_STATUS);
    for (std::uint32_t container : containers) {
        if (with_status && status != nullptr) {
            std::printf("  container %u: %s\n", container, status_text(status(nullptr, container)));
        } else {
            std::printf("  container %u\n", container);
        }
    }
    return 0;
}

int run_containers(const Library& plugin, bool with_status) {
    Session session(plugin);
    if (session.initialize() != 0) {
        return 1;
    }
    return list_containers(session, with_status);
}

int run_demo(const Library& plugin) {
    std::puts("== load");
    if (run_version(plugin) != 0) {
        return 1;
    }
    std::puts("== initialise (tunnel, transport, application id)");
    Session session(plugin);
    if (session.initialize() != 0) {
        return 1;
    }
    std::puts("== containers and their operational status");
    int rc = list_containers(session, true);
    std::puts("== finalise");
    return rc;
}

struct command_t {
    const char* name;
    const char* help;
    std::function<int(const Library&)> run;
};

const std::vector<command_t>& commands() {
    static const std::vector<command_t> table = {
        {"version", "print the plug-in's description and version", run_version},
        {"containers", "initialise, list the containers, finalise",
         [](const Library& p) { return run_containers(p, false); }},
        {"status", "initialise, list the containers with their operational status, finalise",
         [](const Library& p) { return run_containers(p, true); }},
        {"demo", "load, initialise, list containers and their status, finalise", run_demo},
    };
    return table;
}

void print_usage() {
    std::puts("usage: ximora-host [--plugin PATH] COMMAND\n\ncommands:");
    for (const auto& command : commands()) {
        std::printf("  %-11s %s\n", command.name, command.help);
    }
    std::puts(
        "\nThe plug-in defaults to $XIMORA_PLUGIN, else the one built beside this tool. It reads\n"
        "its configuration from $MarlevonConfigurationPath/Marlevon.conf (or /etc/Marlevon.conf).");
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin_path = XIMORA_DEFAULT_PLUGIN;
    if (const char* env = std::getenv("XIMORA_PLUGIN"); env != nullptr && *env != '\0') {
        plugin_path = env;
    }
    int arg = 1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--plugin") == 0) {
        plugin_path = argv[arg + 1];
        arg += 2;
    }
    if (arg >= argc || std::strcmp(argv[arg], "--help") == 0 || std::strcmp(argv[arg], "-h") == 0) {
        print_usage();
        return arg >= argc ? 2 : 0;
    }
    const std::string name = argv[arg];
    for (const auto& command : commands()) {
        if (name != command.name) {
            continue;
        }
        if (arg + 1 < argc && std::strcmp(argv[arg + 1], "--help") == 0) {
            std::printf("ximora-host %s: %s\n", command.name, command.help);
            return 0;
        }
        Library plugin(plugin_path);
        if (!plugin.loaded()) {
            std::fprintf(stderr, "ximora-host: cannot load %s: %s\n", plugin_path.c_str(),
                         dlerror());
            return 1;
        }
        return command.run(plugin);
    }
    std::fprintf(stderr, "ximora-host: unknown command '%s'\n", name.c_str());
    print_usage();
    return 2;
}
