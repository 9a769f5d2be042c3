// Choice and validation of the CA bundle that every TLS client of the process trusts.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>

#include "config/XmConfiguration.h"
#include "rest/HttpsClient.h"

namespace {

// Where distributions keep their system bundle, tried in this order when none is configured.
constexpr std::array<const char*, 5> BUILT_IN_CA_BUNDLES = {
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
};

const char* const CONFIGURED_DESCRIPTION = "file specified by CA bundle file";
const char* const BUILT_IN_DESCRIPTION = "built-in search path for system CA bundles";
const char* const NO_SYSTEM_BUNDLE =
    "No system CA bundle found using built-in search path. Specify with SSLClientSideVerifyFile";

// Settled once by the first getCAFile under initOnce_s, then only read.
std::once_flag initOnce_s;
std::string CAFile;
std::optional<std::string> rc;

using file_ptr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
using ssl_ctx_ptr = std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)>;

// The same kind of context the clients load the bundle into.
ssl_ctx_ptr new_tls12_client_context() {
    ssl_ctx_ptr context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    if (context) {
        SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION);
    }
    return context;
}

std::optional<std::string> load_failure(const std::string& path) {
    ssl_ctx_ptr context = new_tls12_client_context();
    ERR_clear_error();
    if (context && SSL_CTX_load_verify_locations(context.get(), path.c_str(), nullptr) == 1) {
        return std::nullopt;
    }
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) {
        return std::nullopt;  // nothing to report: the clients will not fail on it either
    }
    const char* reason = ERR_reason_error_string(error);
    return std::string("load_verify_file: ") + (reason != nullptr ? reason : "unknown error");
}

void choose_ca_bundle() {
    const std::string configured = XmConfiguration().GetRestCABundleFile();
    if (!configured.empty()) {
        rc = isCAFileValid(configured, CONFIGURED_DESCRIPTION);
        if (!rc) {
            CAFile = configured;
        }
        return;
    }
    for (const char* location : BUILT_IN_CA_BUNDLES) {
        rc = isCAFileValid(location, BUILT_IN_DESCRIPTION);
        if (!rc) {
            CAFile = location;
            return;
        }
    }
    rc = NO_SYSTEM_BUNDLE;
}

}  // namespace

std::optional<std::string> isCAFileValid(const std::string& path, const std::string& description) {
    if (path.empty()) {
        return "Unspecified " + description;
    }
    errno = 0;
    const file_ptr file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) {
        const int error = errno;
        return "Unable to open " + description + " (" + path + ") for reading" + ", " +
               std::generic_category().message(error);
    }
    return load_failure(path);
}

std::optional<std::string> getCAFile(std::string& path) {
    std::call_once(initOnce_s, choose_ca_bundle);
    path = CAFile;
    return rc;
}

std::optional<std::string> isValidSSLClientConfiguration() {
    std::string ignored;
    return getCAFile(ignored);
}
