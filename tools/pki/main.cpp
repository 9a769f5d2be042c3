// ximora-pki: mints the certificate hierarchy the plug-in trusts, for development and tests.
#include "config/XmConfiguration.h"
#include "tools/pki/pki.h"

#include <exception>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

namespace {

namespace pki = ximora::pki;

const char* const USAGE = R"(Usage:
  ximora-pki root --out DIR [--pen N] [--key ec|rsa] [--force]
  ximora-pki mint --root DIR --out DIR --partitions S1,S2,... [--domain ID] [--pen N]
                  [--ca-codes C1,C2,...] [--partition-code N] [--no-ca-marking]
                  [--ca-validity V] [--partition-validity V]
  ximora-pki --help

root   Creates a self-signed root: DIR/root.key (private key, mode 0600), DIR/root.pem
       and DIR/root.der. It carries function code 1 as a critical extended key usage
       and is valid for 30 years.
         --out DIR      directory to write into (created when missing)
         --pen N        private enterprise number of the function extension,
                        128..16383 (default: the one the build was configured with)
         --key ec|rsa   root key: EC P-384 (default) or RSA 4096
         --force        replace an existing root in DIR (refused otherwise)

mint   Issues, under the root in --root, everything a deployment needs:
         ca.pem                   CA file: intermediates 127, 8, 7 in that order; the
                                  first one's CN is the domain identifier
         partition-<S>.pem/.key   partition certificate (code 122, EC P-384, CN = S)
                                  and its private key, one pair per serial number
         pec-chain/leaf.der, 8.der, 7.der, leaf.key
                                  challenge chain: leaf (code 32, RSA key), 8, 7
         tls/server.pem, server.key, ca-bundle.pem
                                  TLS server certificate for IP 127.0.0.1 and DNS
                                  localhost, and the CA bundle that verifies it
         --root DIR        root directory written by 'ximora-pki root'
         --out DIR         directory to write into (created when missing)
         --partitions LIST comma-separated decimal partition serial numbers
         --domain ID       domain identifier (default: ximora-dev-domain)
         --pen N           as for 'root'; must match the root's
       Deviations, to produce deployments the plug-in must refuse (or accept):
         --ca-codes LIST   function codes of the CA-file certificates in file order,
                           each signed by the next, the last by the root (default 127,8,7)
         --partition-code N
                           function code of the partition certificates (default 122)
         --no-ca-marking   CA-file certificates without basicConstraints and keyUsage
         --ca-validity V, --partition-validity V
                           valid (default), expired (ended yesterday) or not-yet-valid
                           (starts tomorrow)
)";

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using options_t = std::map<std::string, std::string>;

options_t parse_options(int argc, char** argv, const std::set<std::string>& with_value,
                        const std::set<std::string>& switches) {
    options_t options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (switches.count(arg) != 0) {
            options[arg] = "1";
        } else if (with_value.count(arg) != 0 && i + 1 < argc) {
            options[arg] = argv[++i];
        } else {
            throw usage_error("unexpected argument '" + arg + "'");
        }
    }
    return options;
}

const std::string& required(const options_t& options, const std::string& name) {
    auto it = options.find(name);
    if (it == options.end() || it->second.empty()) {
        throw usage_error(name + " is required");
    }
    return it->second;
}

unsigned pen_option(const options_t& options) {
    auto it = options.find("--pen");
    if (it == options.end()) {
        return pki::default_pen();
    }
    auto pen = stringToOptional<unsigned>(it->second);
    if (!pen) {
        throw usage_error("--pen must be a decimal number");
    }
    pki::check_pen(*pen);
    return *pen;
}

std::vector<std::uint64_t> serial_list(const std::string& text) {
    std::vector<std::uint64_t> serials;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        auto serial = stringToOptional<std::uint64_t>(item);
        if (!serial || item.front() == '+' || item.front() == '-') {
            throw usage_error("bad partition serial number '" + item + "'");
        }
        serials.push_back(*serial);
    }
    if (serials.empty()) {
        throw usage_error("--partitions needs at least one serial number");
    }
    return serials;
}

std::uint8_t code_of(const std::string& text) {
    auto code = stringToOptional<std::uint8_t>(text);
    if (!code || text.front() == '+' || text.front() == '-') {
        throw usage_error("bad function code '" + text + "' (0..255)");
    }
    return *code;
}

std::vector<std::uint8_t> code_list(const std::string& text) {
    std::vector<std::uint8_t> codes;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        codes.push_back(code_of(item));
    }
    return codes;
}

pki::window_t validity_of(const std::string& text) {
    if (text == "valid") {
        return pki::VALID;
    }
    if (text == "expired") {
        return pki::EXPIRED;
    }
    if (text == "not-yet-valid") {
        return pki::NOT_YET_VALID;
    }
    throw usage_error("validity must be valid, expired or not-yet-valid");
}

void apply_deviations(const options_t& options, pki::deployment_options_t& deployment) {
    for (const auto& [name, value] : options) {
        if (name == "--ca-codes") {
            deployment.ca_codes = code_list(value);
        } else if (name == "--partition-code") {
            deployment.partition_code = code_of(value);
        } else if (name == "--no-ca-marking") {
            deployment.ca_marking = false;
        } else if (name == "--ca-validity") {
            deployment.ca_validity = validity_of(value);
        } else if (name == "--partition-validity") {
            deployment.partition_validity = validity_of(value);
        }
    }
}

int run_root(int argc, char** argv) {
    const auto options = parse_options(argc, argv, {"--out", "--pen", "--key"}, {"--force"});
    const std::filesystem::path out = required(options, "--out");
    auto profile = pki::root_spec(pen_option(options));
    if (auto key = options.find("--key"); key != options.end()) {
        if (key->second == "rsa") {
            profile.key = {pki::key_spec_t::algorithm::rsa, "", 4096, 65537};
        } else if (key->second != "ec") {
            throw usage_error("--key must be ec or rsa");
        }
    }
    if (options.count("--force") == 0 && std::filesystem::exists(out / "root.der")) {
        std::cerr << "ximora-pki: " << (out / "root.der").string()
                  << " exists; use --force to replace it\n";
        return 1;
    }
    pki::write_root(out, pki::self_signed(profile));
    return 0;
}

int run_mint(int argc, char** argv) {
    const auto options =
        parse_options(argc, argv,
                      {"--root", "--out", "--partitions", "--domain", "--pen", "--ca-codes",
                       "--partition-code", "--ca-validity", "--partition-validity"},
                      {"--no-ca-marking"});
    pki::deployment_options_t deployment;
    deployment.pen = pen_option(options);
    deployment.partitions = serial_list(required(options, "--partitions"));
    if (auto domain = options.find("--domain"); domain != options.end()) {
        deployment.domain = domain->second;
    }
    apply_deviations(options, deployment);
    const auto root = pki::load_root(required(options, "--root"));
    pki::mint_deployment(root, required(options, "--out"), deployment);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "root") {
            return run_root(argc, argv);
        }
        if (command == "mint") {
            return run_mint(argc, argv);
        }
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << USAGE;
            return 0;
        }
        throw usage_error(command.empty() ? "a command is required"
                                          : "unknown command '" + command + "'");
    } catch (const usage_error& e) {
        std::cerr << "ximora-pki: " << e.what() << "\n\n" << USAGE;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
