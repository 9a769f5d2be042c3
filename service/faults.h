#pragma once
// Faults that tests ask the service to show on its next requests. A fault either stops a
// request before the HSM sees it (HTTP status, Retry-After, closed connection: the command is
// not run and its sequence number stays unused, so the client may send the same body again)
// or spoils the reply of a command that did run (everything else).

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace service {

struct fault_t {
    /// Only requests carrying this HSM command code match (0x106 for the open exchange);
    /// none: every request matches.
    std::optional<std::uint32_t> command;

    // Stop the request before it runs.
    std::optional<unsigned> http_status;     // reply with this status and an empty body
    std::optional<std::string> retry_after;  // add "Retry-After" (status 503 unless given)
    bool close_connection = false;           // close the connection without a reply

    // Spoil the reply.
    std::chrono::milliseconds delay{0};  // wait this long before replying
    bool truncate_body = false;          // announce the whole body, send half of it and close
    bool oversize_body = false;          // pad the body beyond the client's reply-size limit
    bool tamper_tag = false;             // flip a bit of the reply's authentication tag
    bool wrong_sequence = false;         // echo the request's sequence number plus one
    std::optional<std::uint32_t> tunnel_status;  // non-zero status in the reply envelope
    std::optional<std::uint32_t> hsm_result;     // answer this result word instead of running

    bool stops_request() const {
        return http_status.has_value() || retry_after.has_value() || close_connection;
    }
};

/// Pending faults in the order they were injected; each entry serves its next `count`
/// matching requests.
class fault_queue {
  public:
    void push(fault_t fault, unsigned count);
    void clear();
    std::size_t pending() const;
    /// The first entry matching a request with `command` (none: the code is not known),
    /// counted down by one.
    std::optional<fault_t> take(std::optional<std::uint32_t> command);

  private:
    struct entry_t {
        fault_t fault;
        unsigned remaining;
    };
    mutable std::mutex mutex_;  // guards entries_
    std::deque<entry_t> entries_;
};

}  // namespace service
