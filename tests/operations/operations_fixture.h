#pragma once
// A scripted pair of partitions behind the real tunnel, and a record of every command the
// operations sent: its cmd_t fields as the transport saw them and its decrypted bytes.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "rest/cmd.h"
#include "tests/support/fake_hsm.h"

namespace optest {

constexpr std::uint64_t FIRST = 501;
constexpr std::uint64_t SECOND = 502;
// Containers are numbered from 1000000 in ascending serial order.
constexpr std::uint32_t FIRST_CONTAINER = 1000000;
constexpr std::uint32_t SECOND_CONTAINER = 1000001;
constexpr std::uint32_t UNKNOWN_CONTAINER = 4242;
// Registered by the fixture: SESSION on FIRST, OTHER_SESSION on SECOND.
constexpr std::uint32_t SESSION = 0x51;
constexpr std::uint32_t OTHER_SESSION = 0x52;
constexpr std::uint32_t UNKNOWN_SESSION = 0x99;
// Handles the scripted partitions give to new sessions count up from here.
constexpr std::uint32_t FIRST_NEW_SESSION = 0x100;

constexpr std::size_t COMMAND_HEADER = 136;

using bytes_t = std::vector<std::uint8_t>;

/// The command context every open-context reply carries: id 0x44332211, tag 1..16.
const bytes_t& context_reply();
/// The search context every find-objects init reply carries by default.
const bytes_t& search_id();

bytes_t words(std::initializer_list<std::uint32_t> values);
bytes_t u32_bytes(std::uint32_t value);
bytes_t u64_bytes(std::uint64_t value);
bytes_t concat(std::initializer_list<bytes_t> parts);

/// One command as it left the plug-in.
struct sent_t {
    std::uint32_t code = 0;
    std::uint64_t partition = 0;
    bool multipart = false;
    bool mutates = false;
    std::uint32_t session = 0;          // cmd_t::session
    std::size_t response_capacity = 0;  // response buffer offered to the transport
    bytes_t command;                    // the request from offset 136 on, decrypted

    std::size_t request_size() const { return COMMAND_HEADER + command.size(); }
    /// `width` bytes at a request offset (empty when outside the request).
    bytes_t at(std::size_t request_offset, std::size_t width) const;
};

using answer_t = std::function<fake::reply_t(const fake::received_t&)>;

class OperationsTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    /// Replaces the scripted answer to one command code.
    void answer(std::uint32_t code, answer_t answer);
    void answer_result(std::uint32_t code, std::uint32_t result);
    void answer_body(std::uint32_t code, bytes_t body);

    std::vector<sent_t> sent() const;
    std::vector<sent_t> sent(std::uint32_t code) const;
    std::vector<std::uint32_t> sent_codes() const;
    void forget_sent();

    fake::hsm hsm_{{{FIRST, fake::hsm::make_key()}, {SECOND, fake::hsm::make_key()}}};

  private:
    fake::reply_t route(const fake::received_t& received);

    struct meta_t {
        std::uint32_t code;
        std::uint64_t partition;
        bool multipart;
        bool mutates;
        std::uint32_t session;
        std::size_t response_capacity;
    };
    std::map<std::uint32_t, answer_t> answers_;
    mutable std::mutex meta_mutex_;  // guards meta_: host threads may send at the same time
    std::vector<meta_t> meta_;
    std::size_t skipped_ = 0;  // commands sent before forget_sent
    std::atomic<std::uint32_t> next_session_{FIRST_NEW_SESSION};
};

/// Empties the session map and every saved-context map.
void clear_session_maps();

}  // namespace optest
