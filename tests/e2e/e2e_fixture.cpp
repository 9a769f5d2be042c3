#include "tests/e2e/e2e_fixture.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "config/code_names.h"
#include "tools/pki/pki.h"

namespace e2e {
namespace fs = std::filesystem;

namespace {

constexpr int PLUGIN_INTERFACE_VERSION = 1;
constexpr std::size_t SLOT_COUNT = 137;

namespace slots {
constexpr std::size_t DELETE_INTEGERS = 3;
constexpr std::size_t GET_CONTAINER_LIST = 48;
constexpr std::size_t OPEN_SESSION = 57;
constexpr std::size_t CLOSE_SESSION = 58;
constexpr std::size_t GET_OPERATION_STATUS = 135;
using delete_integers_fn = void (*)(std::uint32_t*, std::uint32_t);
using get_container_list_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t,
                                                integer_block_t*);
using open_session_fn = std::uint32_t (*)(void*, std::uint32_t, std::uint32_t, std::uint32_t*,
                                          std::uint64_t);
using close_session_fn = std::uint32_t (*)(void*, std::uint32_t);
using get_operation_status_fn = std::uint32_t (*)(void*, std::uint32_t);
}  // namespace slots

using initialize_fn = std::uint32_t (*)(int, void (**)());
using finalize_fn = std::uint32_t (*)();

// A slot the plug-in left empty reads as this code, so a test fails instead of crashing.
constexpr std::uint32_t NO_SLOT = 0xC0000002;

fs::path fresh_work_dir() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = fs::temp_directory_path() /
                   ("ximora-e2e-" + std::to_string(::getpid()) + "-" + test->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace

void PluginFixture::SetUp() {
#ifndef XIMORA_DEV_ROOT_DIR
    GTEST_SKIP() << "built with a deployment root: no key to issue test partitions";
#else
    options_t opts = options();
    dir_ = fresh_work_dir();
    pki_ = dir_ / "pki";
    ximora::pki::deployment_options_t deployment;
    deployment.partitions = {PARTITION_A, PARTITION_B};
    deployment.domain = "e2e-domain";
    ximora::pki::mint_deployment(ximora::pki::load_root(XIMORA_DEV_ROOT_DIR), pki_, deployment);

    opts.server.pki_dir = pki_;
    opts.server.port = 0;
    opts.server.oauth = opts.oauth;
    server_ = std::make_unique<service::server>(opts.server);
    server_->start();

    write_configuration(opts);
    ::setenv("MarlevonConfigurationPath", dir_.c_str(), 1);
    library_ = ::dlopen(XIMORA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    table_.assign(SLOT_COUNT, nullptr);
#endif
}

void PluginFixture::TearDown() {
    if (initialised_) {
        EXPECT_EQ(finalize(), 0u);
    }
    if (library_ != nullptr) {
        ::dlclose(library_);
        library_ = nullptr;
    }
    if (server_) {
        server_->stop();
        server_.reset();
    }
    ::unsetenv("MarlevonConfigurationPath");
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

void PluginFixture::write_configuration(const options_t& options) {
    std::ofstream conf(dir_ / "Marlevon.conf");
    conf << "REST = {\n"
         << "   ServerName = 127.0.0.1;\n"
         << "   ServerPort = " << server_->port() << ";\n"
         << "   ClientPoolSize = " << options.client_pool_size << ";\n"
         << "   CABundleFile = " << (pki_ / "tls" / "ca-bundle.pem").string() << ";\n"
         << "   AppLogLevel = error;\n";
    if (options.client_timeout_sec) {
        conf << "   ClientTimeoutSec = " << *options.client_timeout_sec << ";\n";
    }
    if (options.eof_retry_count) {
        conf << "   ClientEofRetryCount = " << *options.eof_retry_count << ";\n";
    }
    if (options.oauth) {
        const auto& oauth = options.server.oauth_options;
        conf << "   AuthTokenRetrievalEnabled = true;\n"
             << "   AuthTokenConfigURI = https://127.0.0.1:" << server_->port()
             << service::OAUTH_CONFIG_TARGET << ";\n"
             << "   AuthTokenClientId = " << oauth.client_id << ";\n"
             << "   AuthTokenClientSecret = " << oauth.client_secret << ";\n";
    }
    for (const auto& [key, value] : options.extra_rest) {
        conf << "   " << key << " = " << value << ";\n";
    }
    conf << "}\nXTC = {\n"
         << "   PartitionCAPath = " << (pki_ / "ca.pem").string() << ";\n"
         << "   PartitionCertPath00 = " << (pki_ / "partition-1001.pem").string() << ";\n"
         << "   PartitionCertPath01 = " << (pki_ / "partition-1002.pem").string() << ";\n"
         << "   TimeoutSec = 120;\n}\n";
}

std::uint32_t PluginFixture::initialize() {
    auto init = reinterpret_cast<initialize_fn>(::dlsym(library_, "plugin_initialize"));
    if (init == nullptr) {
        return NO_SLOT;
    }
    initialised_ = true;  // finalise even after a failed start, as a host does
    return init(PLUGIN_INTERFACE_VERSION, table_.data());
}

std::uint32_t PluginFixture::finalize() {
    initialised_ = false;
    auto fin = reinterpret_cast<finalize_fn>(::dlsym(library_, "plugin_finalize"));
    return fin == nullptr ? NO_SLOT : fin();
}

std::vector<std::uint32_t> PluginFixture::container_list(std::uint32_t& rc) {
    auto list = slot<slots::get_container_list_fn>(slots::GET_CONTAINER_LIST);
    auto release = slot<slots::delete_integers_fn>(slots::DELETE_INTEGERS);
    std::vector<std::uint32_t> containers;
    if (list == nullptr || release == nullptr) {
        rc = NO_SLOT;
        return containers;
    }
    integer_block_t block{nullptr, 0};
    rc = list(nullptr, 0, 0, &block);
    if (rc == 0 && block.data != nullptr) {
        containers.assign(block.data, block.data + block.count);
    }
    release(block.data, block.count);
    return containers;
}

std::uint32_t PluginFixture::operation_status(std::uint32_t container) {
    auto status = slot<slots::get_operation_status_fn>(slots::GET_OPERATION_STATUS);
    return status == nullptr ? NO_SLOT : status(nullptr, container);
}

std::uint32_t PluginFixture::open_session(std::uint32_t container, std::uint32_t* session,
                                          std::uint32_t flags) {
    auto open = slot<slots::open_session_fn>(slots::OPEN_SESSION);
    return open == nullptr ? NO_SLOT : open(nullptr, flags, container, session, 0);
}

std::uint32_t PluginFixture::close_session(std::uint32_t session) {
    auto close = slot<slots::close_session_fn>(slots::CLOSE_SESSION);
    return close == nullptr ? NO_SLOT : close(nullptr, session);
}

std::uint32_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    if (bytes.size() < offset + 4) {
        return 0;
    }
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::string rc_text(std::uint32_t rc) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", rc);
    return std::string(ResultCode(rc).AsString()) + " (" + hex + ")";
}

std::optional<std::string> header(const service::request_record_t& record, std::string_view name) {
    return service::find_header(record.headers, name);
}

std::vector<service::request_record_t> requests_for(const service::engine& engine,
                                                    std::uint32_t code) {
    std::vector<service::request_record_t> matching;
    for (auto& record : engine.requests()) {
        if (record.command == code) {
            matching.push_back(std::move(record));
        }
    }
    return matching;
}

}  // namespace e2e
