// A command-line host: loads the plug-in the way an HSM client library does and calls its
// slots. Each command initialises the plug-in, does its work and finalises it; sessions and
// logins last as long as the command.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/code_names.h"
#include "tools/host/pin.h"
#include "tools/host/plugin_host.h"
#include "tools/host/templates.h"

namespace {

using host::Library;
using host::Plugin;

constexpr std::uint32_t OK = 0;
// The label attribute of the host's object model; the demo finds its object by it.
constexpr std::uint32_t LABEL_ATTRIBUTE = 0x3;
// The user PIN the stand-in service accepts, used by the demo when $XIMORA_PIN is not set.
constexpr const char* DEMO_PIN = "userpin";

struct args_t {
    std::vector<std::string> words;          // what follows the command's name
    std::optional<std::uint32_t> container;  // --container N
};

bool report(const char* what, std::uint32_t rc) {
    std::printf("%-28s %s (0x%08X)\n", what, ResultCode(rc).AsString(), rc);
    return rc == OK;
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

bool initialise(Plugin& plugin) { return report("plugin_initialize", plugin.initialize()); }

bool finalise(Plugin& plugin) { return report("plugin_finalize", plugin.finalize()); }

// The container named with --container, else the first the plug-in lists.
std::optional<std::uint32_t> choose_container(const Plugin& plugin, const args_t& args) {
    if (args.container) {
        return args.container;
    }
    std::uint32_t rc = OK;
    auto containers = plugin.containers(rc);
    if (rc != OK) {
        report("get_container_list", rc);
        return std::nullopt;
    }
    if (containers.empty()) {
        std::fprintf(stderr, "ximora-host: the plug-in lists no container\n");
        return std::nullopt;
    }
    return containers.front();
}

// A session on one container, logged in on request; logged out and closed on every path.
class HostSession {
  public:
    explicit HostSession(const Plugin& plugin) : plugin_(plugin) {}
    ~HostSession() { end(); }
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool open(std::uint32_t container) {
        container_ = container;
        open_ = report("open_session", plugin_.open_session(container, handle_));
        if (open_) {
            std::printf("  session %u on container %u\n", handle_, container);
        }
        return open_;
    }
    bool login(const host::secret_string& pin) {
        logged_in_ = report("login", plugin_.login(handle_, container_, pin.str()));
        return logged_in_;
    }
    std::uint32_t handle() const { return handle_; }
    /// Logs out and closes what is logged in and open; false when either step failed.
    bool end() {
        bool ok = true;
        if (logged_in_) {
            logged_in_ = false;
            ok = report("logout", plugin_.logout(handle_));
        }
        if (open_) {
            open_ = false;
            ok = report("close_session", plugin_.close_session(handle_)) && ok;
        }
        return ok;
    }

  private:
    const Plugin& plugin_;
    std::uint32_t container_ = 0;
    std::uint32_t handle_ = 0;
    bool open_ = false;
    bool logged_in_ = false;
};

bool pin_given(const host::secret_string& pin) {
    if (pin.empty()) {
        std::fprintf(stderr, "ximora-host: no PIN: set XIMORA_PIN or type it at a terminal\n");
        return false;
    }
    return true;
}

bool open_and_login(const Plugin& plugin, const args_t& args, HostSession& session,
                    const host::secret_string& pin) {
    auto container = choose_container(plugin, args);
    return container && session.open(*container) && session.login(pin);
}

bool show_session_info(const Plugin& plugin, std::uint32_t session) {
    host::session_info_t info;
    if (!report("get_session_info", plugin.session_info(session, info))) {
        return false;
    }
    std::printf("  container %u, state %u, user %u, flags 0x%X\n", info.container, info.state,
                info.user, info.flags);
    return true;
}

bool find(const Plugin& plugin, std::uint32_t session, const std::vector<std::uint8_t>& tmpl,
          std::vector<std::uint32_t>& handles) {
    handles.clear();
    if (!report("find_objects", plugin.find_objects(session, tmpl, handles))) {
        return false;
    }
    std::printf("  %zu object(s)", handles.size());
    for (std::uint32_t handle : handles) {
        std::printf(" %u", handle);
    }
    std::printf("\n");
    return true;
}

bool read_attribute(const Plugin& plugin, std::uint32_t session, std::uint32_t handle,
                    std::uint32_t type, std::vector<std::uint8_t>& value) {
    if (!report("get_attribute_value", plugin.attribute_value(session, handle, type, value))) {
        return false;
    }
    std::printf("  object %u attribute 0x%X: %s\n", handle, type,
                host::render_value(value).c_str());
    return true;
}

bool create(const Plugin& plugin, std::uint32_t session, const std::vector<std::uint8_t>& tmpl,
            std::uint32_t& handle) {
    if (!report("create_object", plugin.create_object(session, tmpl, handle))) {
        return false;
    }
    std::printf("  object %u\n", handle);
    return true;
}

int list_containers(const Plugin& plugin, bool with_status) {
    std::uint32_t rc = OK;
    auto containers = plugin.containers(rc);
    if (!report("get_container_list", rc)) {
        return 1;
    }
    std::printf("%zu container(s)\n", containers.size());
    for (std::uint32_t container : containers) {
        if (with_status) {
            std::printf("  container %u: %s\n", container,
                        status_text(plugin.operation_status(container)));
        } else {
            std::printf("  container %u\n", container);
        }
    }
    return 0;
}

int run_version(const Library& library, const args_t&) {
    using get_version_fn = void (*)(std::int32_t*, std::int32_t*);
    using get_description_fn = const char* (*)();
    auto get_version = reinterpret_cast<get_version_fn>(library.symbol("plugin_get_version"));
    auto get_description =
        reinterpret_cast<get_description_fn>(library.symbol("plugin_get_description"));
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

int run_containers(const Library& library, bool with_status) {
    Plugin plugin(library);
    if (!initialise(plugin)) {
        return 1;
    }
    const int rc = list_containers(plugin, with_status);
    return finalise(plugin) ? rc : 1;
}

// Asks for the PIN, initialises the plug-in, runs `work` in a session logged in on the chosen
// container, then logs out, closes and finalises whatever happened.
int in_logged_in_session(const Library& library, const args_t& args,
                         const std::function<bool(const Plugin&, std::uint32_t)>& work) {
    const auto pin = host::read_pin("PIN: ");
    if (!pin_given(pin)) {
        return 1;
    }
    Plugin plugin(library);
    if (!initialise(plugin)) {
        return 1;
    }
    bool ok = false;
    {
        HostSession session(plugin);
        ok = open_and_login(plugin, args, session, pin) && work(plugin, session.handle());
        ok = session.end() && ok;
    }
    return finalise(plugin) && ok ? 0 : 1;
}

int run_session(const Library& library, const args_t& args) {
    return in_logged_in_session(library, args, show_session_info);
}

// What an object action works on, read from its operands before the plug-in starts.
struct object_request_t {
    std::vector<std::uint8_t> tmpl;  // serialised; empty: no template
    std::uint32_t handle = 0;
    std::uint32_t type = 0;
};

std::vector<std::uint8_t> read_template_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::invalid_argument("cannot read " + path);
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        return host::serialise_template(host::parse_template_text(text.str()));
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(path + ": " + error.what());
    }
}

std::uint32_t number_operand(const std::string& text, const char* what) {
    std::uint32_t number = 0;
    if (!host::parse_u32(text, number)) {
        throw std::invalid_argument(std::string(what) + " '" + text + "' is not a 32-bit number");
    }
    return number;
}

struct object_action_t {
    const char* name;
    const char* operands;
    std::size_t min_operands;
    std::size_t max_operands;
    void (*parse)(const std::vector<std::string>&, object_request_t&);
    bool (*run)(const Plugin&, std::uint32_t session, const object_request_t&);
};

const std::vector<object_action_t>& object_actions() {
    static const std::vector<object_action_t> table = {
        {"create", "TEMPLATE-FILE", 1, 1,
         [](const std::vector<std::string>& ops, object_request_t& request) {
             request.tmpl = read_template_file(ops[0]);
         },
         [](const Plugin& plugin, std::uint32_t session, const object_request_t& request) {
             std::uint32_t handle = 0;
             return create(plugin, session, request.tmpl, handle);
         }},
        {"find", "[TEMPLATE-FILE]", 0, 1,
         [](const std::vector<std::string>& ops, object_request_t& request) {
             if (!ops.empty()) {
                 request.tmpl = read_template_file(ops[0]);
             }
         },
         [](const Plugin& plugin, std::uint32_t session, const object_request_t& request) {
             std::vector<std::uint32_t> handles;
             return find(plugin, session, request.tmpl, handles);
         }},
        {"read", "HANDLE ATTRIBUTE-TYPE", 2, 2,
         [](const std::vector<std::string>& ops, object_request_t& request) {
             request.handle = number_operand(ops[0], "handle");
             request.type = number_operand(ops[1], "attribute type");
         },
         [](const Plugin& plugin, std::uint32_t session, const object_request_t& request) {
             std::vector<std::uint8_t> value;
             return read_attribute(plugin, session, request.handle, request.type, value);
         }},
        {"destroy", "HANDLE", 1, 1,
         [](const std::vector<std::string>& ops, object_request_t& request) {
             request.handle = number_operand(ops[0], "handle");
         },
         [](const Plugin& plugin, std::uint32_t session, const object_request_t& request) {
             return report("destroy_object", plugin.destroy_object(session, request.handle));
         }},
    };
    return table;
}

const object_action_t& object_action(const args_t& args) {
    if (!args.words.empty()) {
        for (const auto& action : object_actions()) {
            const std::size_t operands = args.words.size() - 1;
            if (args.words[0] == action.name && operands >= action.min_operands &&
                operands <= action.max_operands) {
                return action;
            }
        }
    }
    std::string usage = "usage:";
    for (const auto& action : object_actions()) {
        usage += std::string("\n  ximora-host object ") + action.name + " " + action.operands;
    }
    throw std::invalid_argument(usage);
}

int run_object(const Library& library, const args_t& args) {
    const auto& action = object_action(args);
    object_request_t request;
    action.parse({args.words.begin() + 1, args.words.end()}, request);
    return in_logged_in_session(library, args, [&](const Plugin& plugin, std::uint32_t session) {
        return action.run(plugin, session, request);
    });
}

// The demo's object: labelled with this process's id, so that a search finds it alone even
// on a partition other runs have used.
std::vector<std::uint8_t> demo_label() {
    const std::string label = "ximora demo " + std::to_string(::getpid());
    return {label.begin(), label.end()};
}

// A search by the demo's template must find exactly `expected`.
bool find_exactly(const Plugin& plugin, std::uint32_t session,
                  const std::vector<std::uint8_t>& tmpl,
                  const std::vector<std::uint32_t>& expected) {
    std::vector<std::uint32_t> handles;
    if (!find(plugin, session, tmpl, handles)) {
        return false;
    }
    if (handles != expected) {
        std::fprintf(stderr, "ximora-host: the search found other objects than expected\n");
        return false;
    }
    return true;
}

bool read_label(const Plugin& plugin, std::uint32_t session, std::uint32_t handle,
                const std::vector<std::uint8_t>& expected) {
    std::vector<std::uint8_t> label;
    if (!read_attribute(plugin, session, handle, LABEL_ATTRIBUTE, label)) {
        return false;
    }
    if (label != expected) {
        std::fprintf(stderr, "ximora-host: the label read back differs from the one written\n");
        return false;
    }
    return true;
}

bool demo_objects(const Plugin& plugin, std::uint32_t session) {
    const auto label = demo_label();
    const auto tmpl = host::serialise_template({{LABEL_ATTRIBUTE, label}});
    std::uint32_t handle = 0;
    if (!create(plugin, session, tmpl, handle)) {
        return false;
    }
    std::uint32_t size = 0;
    const bool ok = find_exactly(plugin, session, tmpl, {handle}) &&
                    read_label(plugin, session, handle, label) &&
                    report("get_object_size", plugin.object_size(session, handle, size));
    if (ok) {
        std::printf("  object %u: %u bytes\n", handle, size);
    }
    // Destroyed whatever happened above, so that a failed step leaves nothing behind.
    const bool destroyed = report("destroy_object", plugin.destroy_object(session, handle));
    return ok && destroyed && find_exactly(plugin, session, tmpl, {});
}

bool demo_session(const Plugin& plugin, const args_t& args) {
    std::puts("== session: open, log in ($XIMORA_PIN, else the stand-in service's demo PIN)");
    HostSession session(plugin);
    if (!open_and_login(plugin, args, session, host::pin_or(DEMO_PIN)) ||
        !show_session_info(plugin, session.handle())) {
        return false;
    }
    std::puts("== objects: create, find by template, read an attribute, size, destroy, find");
    const bool ok = demo_objects(plugin, session.handle());
    std::puts("== log out, close the session");
    return session.end() && ok;
}

int run_demo(const Library& library, const args_t& args) {
    std::puts("== load");
    if (run_version(library, args) != 0) {
        return 1;
    }
    std::puts("== initialise (tunnel, transport, application id)");
    Plugin plugin(library);
    if (!initialise(plugin)) {
        return 1;
    }
    std::puts("== containers and their operational status");
    bool ok = list_containers(plugin, true) == 0 && demo_session(plugin, args);
    std::puts("== finalise");
    ok = finalise(plugin) && ok;
    return ok ? 0 : 1;
}

struct command_t {
    const char* name;
    const char* operands;
    const char* help;
    std::function<int(const Library&, const args_t&)> run;
};

const std::vector<command_t>& commands() {
    static const std::vector<command_t> table = {
        {"version", "", "print the plug-in's description and version", run_version},
        {"containers", "", "list the containers",
         [](const Library& l, const args_t&) { return run_containers(l, false); }},
        {"status", "", "list the containers with their operational status",
         [](const Library& l, const args_t&) { return run_containers(l, true); }},
        {"session", "", "open a session, log in, show the session's information, log out, close",
         run_session},
        {"object", "ACTION ...",
         "in a logged-in session: create TEMPLATE-FILE | find [TEMPLATE-FILE] |\n"
         "             read HANDLE ATTRIBUTE-TYPE | destroy HANDLE",
         run_object},
        {"demo", "",
         "containers and status, then a session: log in, create, find, read, destroy,\n"
         "             log out, close",
         run_demo},
    };
    return table;
}

void print_usage() {
    std::puts("usage: ximora-host [--plugin PATH] COMMAND [--container N] [OPERANDS]\n\ncommands:");
    for (const auto& command : commands()) {
        std::printf("  %-10s %s\n", command.name, command.help);
    }
    std::puts(
        "\nEach command initialises the plug-in, works, and finalises it. The plug-in defaults to\n"
        "$XIMORA_PLUGIN, else the one built beside this tool; it reads its configuration from\n"
        "$MarlevonConfigurationPath/Marlevon.conf (or /etc/Marlevon.conf). Sessions use the first\n"
        "container unless --container names one. The PIN comes from $XIMORA_PIN, else from the\n"
        "terminal (not echoed); the demo falls back to the stand-in service's PIN \"userpin\".\n"
        "\nA template file holds one attribute per line: a type (decimal or 0x hex) and a value,\n"
        "one of \"text\", hex:0a0b, u32:16 (32-bit little-endian), true, false; # starts a\n"
        "comment line. Example:\n"
        "  0x3 \"my label\"\n"
        "  0x102 hex:0102");
}

// The command's own words, with --container taken out wherever it stands.
args_t command_args(int argc, char** argv, int first) {
    args_t args;
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--container") != 0) {
            args.words.emplace_back(argv[i]);
            continue;
        }
        if (i + 1 == argc) {
            throw std::invalid_argument("--container needs a container number");
        }
        args.container = number_operand(argv[++i], "container");
    }
    return args;
}

int run_command(const command_t& command, const std::string& plugin_path, const args_t& args) {
    if (!args.words.empty() && args.words[0] == "--help") {
        std::printf("ximora-host %s %s\n  %s\n", command.name, command.operands, command.help);
        return 0;
    }
    if (*command.operands == '\0' && !args.words.empty()) {
        throw std::invalid_argument("unexpected operand '" + args.words[0] + "'");
    }
    Library library(plugin_path);
    if (!library.loaded()) {
        std::fprintf(stderr, "ximora-host: cannot load %s: %s\n", plugin_path.c_str(),
                     library.error().c_str());
        return 1;
    }
    return command.run(library, args);
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
        if (name == command.name) {
            try {
                return run_command(command, plugin_path, command_args(argc, argv, arg + 1));
            } catch (const std::invalid_argument& error) {
                std::fprintf(stderr, "ximora-host %s: %s\n", command.name, error.what());
                return 2;
            }
        }
    }
    std::fprintf(stderr, "ximora-host: unknown command '%s'\n", name.c_str());
    print_usage();
    return 2;
}
