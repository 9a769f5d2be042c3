#include "tests/operations/operations_fixture.h"

#include "config/codes.h"
#include "plugin/command.h"
#include "plugin/session_maps.h"
#include "rest/rest_driver.h"

namespace optest {

const bytes_t& context_reply() {
    static const bytes_t context = {0x11, 0x22, 0x33, 0x44, 1,  2,  3,  4,  5,  6,
                                    7,    8,    9,    10,   11, 12, 13, 14, 15, 16};
    return context;
}

const bytes_t& search_id() {
    static const bytes_t id = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                               0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    return id;
}

bytes_t u32_bytes(std::uint32_t value) {
    bytes_t out;
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return out;
}

bytes_t u64_bytes(std::uint64_t value) {
    bytes_t out;
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return out;
}

bytes_t words(std::initializer_list<std::uint32_t> values) {
    bytes_t out;
    for (auto value : values) {
        auto word = u32_bytes(value);
        out.insert(out.end(), word.begin(), word.end());
    }
    return out;
}

bytes_t concat(std::initializer_list<bytes_t> parts) {
    bytes_t out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

bytes_t sent_t::at(std::size_t request_offset, std::size_t width) const {
    const std::size_t offset = request_offset - COMMAND_HEADER;
    if (request_offset < COMMAND_HEADER || offset + width > command.size()) {
        return {};
    }
    return {command.begin() + offset, command.begin() + offset + width};
}

void clear_session_maps() {
    s_session_partition_map.clear();
    for (auto* contexts :
         {&s_find_objects_context_map, &s_encrypt_context_map, &s_decrypt_context_map,
          &s_digest_context_map, &s_sign_context_map, &s_verify_context_map}) {
        contexts->clear();
    }
}

void OperationsTest::SetUp() {
    hsm_.install();
    hsm_.set_script([this](const fake::received_t& received) { return route(received); });
    // Between the send path and the scripted partition: note what only cmd_t carries.
    fake::set_transport([this](cmd_t& cmd) {
        if (cmd.code != ORVA_XTC_OPEN_REQ_V1) {
            std::lock_guard lock(meta_mutex_);
            meta_.push_back({cmd.code, cmd.partition, cmd.multipart_request, cmd.mutates_object,
                             cmd.session, cmd.response.size()});
        }
        return hsm_.transport(cmd);
    });
    clear_session_maps();
    s_session_partition_map.insert_or_assign(SESSION, FIRST);
    s_session_partition_map.insert_or_assign(OTHER_SESSION, SECOND);
}

void OperationsTest::TearDown() {
    fake::hsm::uninstall();
    clear_session_maps();
    set_app_id(app_id_t{});
}

void OperationsTest::answer(std::uint32_t code, answer_t answer) {
    answers_[code] = std::move(answer);
}

void OperationsTest::answer_result(std::uint32_t code, std::uint32_t result) {
    answer(code, [result](const fake::received_t&) { return fake::result(result); });
}

void OperationsTest::answer_body(std::uint32_t code, bytes_t body) {
    answer(code, [body](const fake::received_t&) { return fake::with_body(body); });
}

fake::reply_t OperationsTest::route(const fake::received_t& received) {
    if (auto it = answers_.find(received.code); it != answers_.end()) {
        return it->second(received);
    }
    switch (received.code) {
        case ORVA_OPEN_CONTEXT_SESSION:
        case ORVA_OPEN_CONTEXT_SESSIONLESS:
            return fake::with_body(context_reply());
        case ORVA_OPEN_SESSION:
            return fake::with_body(u32_bytes(next_session_++));
        case ORVA_FIND_OBJECTS_INIT:
            return fake::with_body(search_id());
        default:
            // Success with a zeroed body long enough for every fixed-size reply.
            return fake::with_body(bytes_t(40, 0));
    }
}

std::vector<sent_t> OperationsTest::sent() const {
    std::lock_guard lock(meta_mutex_);
    const auto received = hsm_.received();
    EXPECT_EQ(received.size(), meta_.size());
    std::vector<sent_t> out;
    for (std::size_t i = skipped_; i < std::min(received.size(), meta_.size()); ++i) {
        const auto& m = meta_[i];
        out.push_back({m.code, m.partition, m.multipart, m.mutates, m.session, m.response_capacity,
                       received[i].command});
    }
    return out;
}

std::vector<sent_t> OperationsTest::sent(std::uint32_t code) const {
    std::vector<sent_t> out;
    for (auto& command : sent()) {
        if (command.code == code) {
            out.push_back(std::move(command));
        }
    }
    return out;
}

std::vector<std::uint32_t> OperationsTest::sent_codes() const {
    std::vector<std::uint32_t> codes;
    for (const auto& command : sent()) {
        codes.push_back(command.code);
    }
    return codes;
}

void OperationsTest::forget_sent() {
    std::lock_guard lock(meta_mutex_);
    skipped_ = meta_.size();
}

}  // namespace optest
