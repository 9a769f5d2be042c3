#pragma once
// What the service received, for tests to read: the HTTP request as it came and the HSM
// command inside it once decrypted. Bounded: the oldest records go first.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/wire.h"

namespace service {

using header_list_t = std::vector<std::pair<std::string, std::string>>;

/// Bytes of each command the log keeps, so that a long run with large requests stays small.
constexpr std::size_t COMMAND_BYTES_KEPT = 16 * 1024;

struct request_record_t {
    std::string method;
    std::string target;
    header_list_t headers;                 // in wire order
    std::optional<std::uint32_t> command;  // HSM command code, when the request could be read
    bytes command_bytes;  // HSM command header and body (decrypted), from request offset 136,
                          // at most COMMAND_BYTES_KEPT of them
    std::size_t command_size = 0;  // the whole command's size
    std::uint64_t partition = 0;
    std::optional<std::uint64_t> sequence;  // tunnel sequence number of a protected request
    unsigned status = 0;                    // HTTP status answered (0: connection closed)
    std::optional<std::uint32_t> result;    // HSM result word answered
};

class request_log {
  public:
    explicit request_log(std::size_t capacity) : capacity_(capacity) {}
    void append(request_record_t record);
    std::vector<request_record_t> snapshot() const;
    void clear();

  private:
    std::size_t capacity_;
    mutable std::mutex mutex_;  // guards records_
    std::deque<request_record_t> records_;
};

}  // namespace service
