#pragma once
// A scripted partition on the far side of the tunnel, for tests of the send path and the
// operations: it answers the open exchange with its partition key, checks and decrypts every
// protected request, hands the command to a script and seals the script's reply.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "rest/cmd.h"
#include "xtc/cert.h"

namespace fake {

// This library replaces the REST driver at link time: tests that link it get its rest_send,
// rest_initialize and rest_finalize, which hand each command to the installed transport.
using transport_t = std::function<std::uint32_t(cmd_t&)>;
/// Installs what rest_send calls; null makes every send fail as an unreachable service would.
void set_transport(transport_t transport);

/// What the script answers for one command.
struct reply_t {
    std::uint32_t result = 0;
    std::vector<std::uint8_t> body;
    /// A non-zero transport result instead of a reply (as the REST driver would return it).
    std::uint32_t transport_failure = 0;
    /// An empty reply body, as the service sends for some keepalives.
    bool empty = false;
};

inline reply_t result(std::uint32_t code) {
    reply_t reply;
    reply.result = code;
    return reply;
}

inline reply_t with_body(std::vector<std::uint8_t> body) {
    reply_t reply;
    reply.body = std::move(body);
    return reply;
}

/// One decrypted command as the partition received it.
struct received_t {
    std::uint64_t partition;  // the serial the command was addressed to
    std::uint32_t code;
    std::uint64_t sequence;
    std::vector<std::uint8_t> command;  // from the command header (request offset 136) on
};

class hsm {
public:
    using script_t = std::function<reply_t(const received_t&)>;

    /// Partitions with their private keys; the public halves go into the tunnel state.
    explicit hsm(std::map<std::uint64_t, xtc::pkey_handle> partition_keys);

    /// Installs this partition set as the plug-in's transport and replaces its tunnel state.
    void install(std::uint64_t timeout = 120);
    /// Only becomes the transport, for tests where start-up builds the tunnel state itself.
    void install_transport();
    static void uninstall();

    void set_script(script_t script);
    std::uint32_t transport(cmd_t& cmd);

    std::vector<received_t> received() const;
    int opens() const;

    /// A fresh P-384 key pair, for partitions made up by a test.
    static xtc::pkey_handle make_key();

private:
    std::uint32_t answer_open(cmd_t& cmd);
    std::uint32_t answer_command(cmd_t& cmd);

    std::map<std::uint64_t, xtc::pkey_handle> keys_;
    mutable std::mutex mutex_;  // guards everything below
    script_t script_;
    std::map<std::vector<std::uint8_t>, std::vector<std::uint8_t>> tunnel_keys_;  // token -> key
    std::vector<received_t> received_;
    int opens_ = 0;
};

}  // namespace fake
