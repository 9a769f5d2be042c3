// A command-line host: loads the plug-in the way an HSM client library does and calls it.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using get_version_fn = void (*)(std::int32_t*, std::int32_t*);
using get_description_fn = const char* (*)();

void print_usage() {
    std::puts(
        "usage: ximora-host [--plugin PATH] COMMAND\n"
        "\n"
        "commands:\n"
        "  version   load the plug-in and print its version and description\n"
        "\n"
        "The plug-in defaults to $XIMORA_PLUGIN, else the one built beside this tool.");
}

class Library {
public:
    explicit Library(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
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
    const std::string command = argv[arg];
    Library plugin(plugin_path);
    if (!plugin.loaded()) {
        std::fprintf(stderr, "ximora-host: cannot load %s: %s\n", plugin_path.c_str(), dlerror());
        return 1;
    }
    if (command == "version") {
        return run_version(plugin);
    }
    std::fprintf(stderr, "ximora-host: unknown command '%s'\n", command.c_str());
    print_usage();
    return 2;
}
