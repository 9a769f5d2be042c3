// ximora-service: the stand-in cloud HSM service as a program of its own.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "service/server.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_START = 1;

constexpr char USAGE[] =
    "usage: ximora-service --pki DIR --port N [--oauth] [--control-port M]\n"
    "  --pki DIR           directory written by 'ximora-pki mint' (partition keys, tls/)\n"
    "  --port N            HTTPS port on 127.0.0.1 (0: any free port)\n"
    "  --oauth             serve the OAuth stand-in and require its bearer tokens on /vHSM:\n"
    "                      configuration at /.well-known/openid-configuration, tokens at\n"
    "                      /oauth/token for client id ximora-client, secret ximora-secret\n"
    "  --control-port M    plain-HTTP control interface on 127.0.0.1 (0: any free port):\n"
    "                      /violations, /faults, /requests, /oauth/revoke\n"
    "Prints one line 'ready port=N [control-port=M]' once listening; stops on SIGTERM/SIGINT.\n";

struct usage_error {
    std::string text;
};

struct arguments_t {
    std::string pki;
    std::uint16_t port = 0;
    bool oauth = false;
    std::optional<std::uint16_t> control_port;
};

std::uint16_t parse_port(std::string_view flag, std::string_view text) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 65535) {
        throw usage_error{std::string(flag) + " needs a port number from 0 to 65535, not '" +
                          std::string(text) + "'"};
    }
    return static_cast<std::uint16_t>(value);
}

arguments_t parse_arguments(int argc, char** argv) {
    arguments_t args;
    bool have_pki = false;
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) {
                throw usage_error{std::string(flag) + " needs a value"};
            }
            return argv[++i];
        };
        if (flag == "--pki") {
            args.pki = value();
            have_pki = true;
        } else if (flag == "--port") {
            args.port = parse_port(flag, value());
            have_port = true;
        } else if (flag == "--oauth") {
            args.oauth = true;
        } else if (flag == "--control-port") {
            args.control_port = parse_port(flag, value());
        } else {
            throw usage_error{"unknown argument '" + std::string(flag) + "'"};
        }
    }
    if (!have_pki || !have_port) {
        throw usage_error{"--pki and --port are required"};
    }
    return args;
}

// Blocks the stop signals in every thread, so that only sigwait below sees them.
sigset_t block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

int run(const arguments_t& args) {
    const sigset_t signals = block_stop_signals();
    service::server_options_t options;
    options.pki_dir = args.pki;
    options.port = args.port;
    options.oauth = args.oauth;
    options.control_port = args.control_port;
    service::server server(options);
    server.start();
    std::cout << "ready port=" << server.port();
    if (auto control = server.control_port()) {
        std::cout << " control-port=" << *control;
    }
    std::cout << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << USAGE;
        return 0;
    }
    try {
        return run(parse_arguments(argc, argv));
    } catch (const usage_error& error) {
        std::cerr << "ximora-service: " << error.text << "\n" << USAGE;
        return EXIT_USAGE;
    } catch (const std::exception& error) {
        std::cerr << "ximora-service: " << error.what() << "\n";
        return EXIT_START;
    }
}
