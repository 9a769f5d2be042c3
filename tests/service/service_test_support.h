#pragma once
// A client of the service written for its tests: it opens tunnels with its own ephemeral key,
// protects commands and opens replies, over any transport (the engine called directly, or
// HTTPS). Offsets are spelled out here rather than taken from the service, so a layout slip on
// either side shows.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/engine.h"

namespace service_test {

using bytes = std::vector<std::uint8_t>;
using service::header_list_t;
using pkey_ptr = std::shared_ptr<EVP_PKEY>;

bytes hex(std::string_view text);
const nlohmann::json& vectors();
bytes hex_at(const nlohmann::json& node, const char* name);
std::uint32_t u32_at(const bytes& buffer, std::size_t offset);
std::uint64_t u64_at(const bytes& buffer, std::size_t offset);
void put32(bytes& buffer, std::size_t offset, std::uint32_t value);
void put64(bytes& buffer, std::size_t offset, std::uint64_t value);

/// An EC P-384 key from an uncompressed point and, if given, its private scalar ("0x...").
pkey_ptr ec_key(const bytes& point, std::string_view private_scalar = {});
pkey_ptr new_p384_key();
bytes public_point(const EVP_PKEY* key);

struct reply_t {
    unsigned status = 0;
    header_list_t headers;
    bytes body;
    std::optional<std::string> header(std::string_view name) const;
};
std::optional<std::string> header_of(const header_list_t& headers, std::string_view name);

/// Sends one request body to a target; `headers` come first, in order.
using transport_fn =
    std::function<reply_t(const std::string& target, const bytes& body, const header_list_t&)>;

/// A transport that calls the engine directly.
transport_fn engine_transport(service::engine& engine);

constexpr std::uint32_t LEVEL = 23;
constexpr std::size_t APP_ID_SIZE = 16;
using app_id_t = std::array<std::uint8_t, APP_ID_SIZE>;

/// An HSM command from request offset 136: code, level 23, application id, three zero
/// words, then `word0` at 172 and `body` from 176.
bytes command(std::uint32_t code, const app_id_t& app, std::uint32_t word0, const bytes& body = {});

struct result_t {
    unsigned status = 0;  // HTTP status
    header_list_t headers;
    bytes raw;               // the reply body as received
    bool authentic = false;  // type, length, status 0, tag and sequence all check out
    std::optional<std::uint32_t> tunnel_status;
    std::optional<std::uint32_t> result;  // HSM result word (authentic replies)
    bytes body;                           // HSM reply body after the result word
};

class xtc_client {
  public:
    xtc_client(transport_fn transport, std::uint64_t serial, pkey_ptr partition_public,
               std::function<std::int64_t()> clock, std::uint64_t timeout = 60);

    /// Runs the open exchange; the HTTP status and the reply's tunnel status.
    result_t open(const app_id_t& app = {});
    bool is_open() const { return open_; }

    /// Protects `hsm_command` (from offset 136) with the next sequence number and sends it.
    result_t send(const bytes& hsm_command, std::uint32_t reply_limit = 4096,
                  const header_list_t& headers = {});
    /// Sends a request body exactly as given (a replay, or garbage).
    reply_t post(const bytes& body, const header_list_t& headers = {});
    /// The protected request body of the last `send`.
    const bytes& last_request() const { return last_request_; }
    result_t read_reply(reply_t reply, std::uint64_t sequence) const;
    /// Builds a protected request without sending it.
    bytes wrap(const bytes& hsm_command, std::uint64_t sequence, std::uint32_t reply_limit,
               std::optional<std::uint64_t> expiry = std::nullopt) const;
    std::string target() const { return "/vHSM/" + std::to_string(serial_); }
    std::uint64_t next_sequence() const { return sequence_; }

  private:
    transport_fn transport_;
    std::uint64_t serial_;
    pkey_ptr partition_public_;
    std::function<std::int64_t()> clock_;
    std::uint64_t timeout_;
    bool open_ = false;
    std::array<std::uint8_t, 64> token_{};
    std::array<std::uint8_t, 32> key_{};
    std::uint64_t sequence_ = 0;
    bytes last_request_;
};

/// A PKI directory minted with ximora_pki for the given partitions, removed afterwards.
class pki_dir {
  public:
    explicit pki_dir(std::vector<std::uint64_t> partitions);
    ~pki_dir();
    const std::filesystem::path& path() const { return path_; }
    pkey_ptr partition_public_key(std::uint64_t serial) const;

  private:
    std::filesystem::path path_;
};

/// A one-connection HTTPS client with deadlines; throws on transport failures.
class https_client {
  public:
    https_client(std::uint16_t port, const std::filesystem::path& ca_bundle,
                 std::string cipher_list = {});
    ~https_client();
    reply_t post(const std::string& target, const bytes& body, const header_list_t& headers);
    /// The cipher suite the handshake settled on.
    std::string cipher() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

/// One plain-HTTP exchange with 127.0.0.1:`port` (the control interface).
reply_t plain_http(std::uint16_t port, const std::string& method, const std::string& target,
                   const std::string& body = {});

/// A transport over one kept-alive HTTPS connection.
transport_fn https_transport(https_client& client);

}  // namespace service_test
