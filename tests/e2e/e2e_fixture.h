#pragma once
// End-to-end fixture: the plug-in loaded with dlopen exactly as a host loads it, talking over
// TLS to the stand-in service running in this process.
//
// Each test gets a fresh PKI (two partitions, issued under the build's development root), a
// fresh service on an ephemeral port and a fresh Marlevon.conf. The plug-in settles a few values
// once per process (CA bundle, log level, domain id); gtest_discover_tests runs every test in a
// process of its own, so a test may choose its own options but must not rely on another test.
//
// Usage:
//   class MyTest : public e2e::PluginFixture {
//     protected:
//       e2e::options_t options() const override { auto o = e2e::options_t{}; o.oauth = true; return o; }
//   };
//   TEST_F(MyTest, Works) { ASSERT_EQ(initialize(), 0u); ... engine().requests() ... }

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "service/server.h"

namespace e2e {

/// The partitions every fixture mints, in container order.
inline constexpr std::uint64_t PARTITION_A = 1001;
inline constexpr std::uint64_t PARTITION_B = 1002;

struct options_t {
    bool oauth = false;                            // the OAuth stand-in, and the plug-in using it
    std::optional<unsigned> client_timeout_sec;    // REST ClientTimeoutSec (default: plug-in's)
    std::optional<unsigned> eof_retry_count;       // REST ClientEofRetryCount
    unsigned client_pool_size = 4;                 // REST ClientPoolSize
    std::vector<std::pair<std::string, std::string>> extra_rest;  // more REST keys, verbatim
    service::server_options_t server;  // pki_dir and port are filled in by the fixture
};

/// The host's view of an integer block the plug-in allocates (released through slot 3).
struct integer_block_t {
    std::uint32_t* data;
    std::uint32_t count;
};

class PluginFixture : public ::testing::Test {
  protected:
    /// Override to change the service or the configuration for a test class.
    virtual options_t options() const { return {}; }

    void SetUp() override;
    void TearDown() override;

    /// plugin_initialize(1, table); remembered so TearDown finalises.
    std::uint32_t initialize();
    std::uint32_t finalize();

    // Typed slot calls, as a host makes them.
    std::vector<std::uint32_t> container_list(std::uint32_t& rc);    // slot 48 (+ slot 3)
    std::uint32_t operation_status(std::uint32_t container);         // slot 135
    std::uint32_t open_session(std::uint32_t container, std::uint32_t* session,
                               std::uint32_t flags = 0);             // slot 57
    std::uint32_t close_session(std::uint32_t session);              // slot 58

    /// Any slot, cast to the type the host calls it with.
    template <typename Fn>
    Fn slot(std::size_t index) const {
        return reinterpret_cast<Fn>(table_.at(index));
    }

    service::server& server() { return *server_; }
    service::engine& engine() { return server_->engine(); }
    const std::filesystem::path& work_dir() const { return dir_; }
    const std::filesystem::path& pki_dir() const { return pki_; }

  private:
    void write_configuration(const options_t& options);

    using slot_t = void (*)();
    std::filesystem::path dir_;
    std::filesystem::path pki_;
    std::unique_ptr<service::server> server_;
    void* library_ = nullptr;
    std::vector<slot_t> table_;
    bool initialised_ = false;
};

/// The little-endian word at `offset`, 0 when `bytes` is too short.
std::uint32_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t offset);

/// A result code's name and value, so that a failed comparison reads as codes.
std::string rc_text(std::uint32_t rc);

#define EXPECT_RC(actual, expected) EXPECT_EQ(e2e::rc_text(actual), e2e::rc_text(expected))
#define ASSERT_RC(actual, expected) ASSERT_EQ(e2e::rc_text(actual), e2e::rc_text(expected))

/// The value of the first header named `name` (case-insensitive) in a logged request.
std::optional<std::string> header(const service::request_record_t& record, std::string_view name);

/// The logged requests carrying HSM command `code`, oldest first.
std::vector<service::request_record_t> requests_for(const service::engine& engine,
                                                    std::uint32_t code);

}  // namespace e2e
