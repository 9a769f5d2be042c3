// Injected faults and the request log, driven through the engine.

#include <gtest/gtest.h>

#include "tests/service/engine_fixture.h"

namespace service_test {
namespace {

constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t ORVA_GEN_APPID = 0x108;
constexpr std::uint32_t ORVA_XTC_OPEN_REQ_V1 = 0x106;
using delivery_t = service::http_reply_t::delivery_t;

service::http_reply_t raw_call(service::engine& engine, const std::string& target,
                               const bytes& body) {
    return engine.handle({"POST", target, {}, body});
}

TEST_F(EngineTest, StoppedRequestsLeaveTheSequenceUnused) {
    service::fault_t busy;
    busy.http_status = 503;
    busy.retry_after = "2";
    engine_.inject(busy, 2);
    const auto sequence = client_.next_sequence();
    const auto request = client_.wrap(command(ORVA_GEN_APPID, app_, 0), sequence, 4096);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto reply = raw_call(engine_, client_.target(), request);
        EXPECT_EQ(reply.status, 503u);
        EXPECT_TRUE(reply.body.empty());
        EXPECT_EQ(service::find_header(reply.headers, "Retry-After"), "2");
    }
    // The same body once the service is no longer busy: accepted, no replay counted.
    auto result = client_.read_reply(client_.post(request), sequence);
    EXPECT_TRUE(result.authentic);
    EXPECT_EQ(result.result, 0u);
    EXPECT_EQ(violations().total(), 0u);
    EXPECT_EQ(engine_.pending_faults(), 0u);
}

TEST_F(EngineTest, ClosedConnectionStopsTheRequest) {
    service::fault_t fault;
    fault.close_connection = true;
    engine_.inject(fault);
    const auto sequence = client_.next_sequence();
    const auto request = client_.wrap(command(ORVA_GEN_APPID, app_, 0), sequence, 4096);
    EXPECT_EQ(raw_call(engine_, client_.target(), request).delivery,
              delivery_t::close_without_reply);
    EXPECT_EQ(engine_.requests().back().status, 0u);
    EXPECT_TRUE(client_.read_reply(client_.post(request), sequence).authentic);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(EngineTest, RetryAfterOnA200IsPossible) {
    service::fault_t fault;
    fault.http_status = 200;
    fault.retry_after = "0";
    engine_.inject(fault);
    auto reply = send(ORVA_GET, 13);
    EXPECT_EQ(reply.status, 200u);
    EXPECT_TRUE(reply.raw.empty());
    EXPECT_EQ(header_of(reply.headers, "Retry-After"), "0");
}

struct spoiler_t {
    const char* name;
    std::function<void(service::fault_t&)> set;
    std::function<void(const service::http_reply_t&, const result_t&)> check;
};

class Spoiler : public EngineTest, public ::testing::WithParamInterface<spoiler_t> {};

TEST_P(Spoiler, AffectsOneReplyOnly) {
    service::fault_t fault;
    GetParam().set(fault);
    engine_.inject(fault);
    const auto sequence = client_.next_sequence();
    const auto request = client_.wrap(command(ORVA_GET, app_, 13), sequence, 88);
    auto raw = raw_call(engine_, client_.target(), request);
    auto read = client_.read_reply({raw.status, raw.headers, raw.body}, sequence);
    GetParam().check(raw, read);
    // The command ran: its sequence number is spent.
    EXPECT_EQ(engine_.requests().back().result.has_value(), true);
    auto next = client_.read_reply(
        client_.post(client_.wrap(command(ORVA_GET, app_, 13), sequence + 1, 88)), sequence + 1);
    EXPECT_TRUE(next.authentic);
    EXPECT_EQ(violations().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Spoiler,
    ::testing::Values(
        spoiler_t{"Delay", [](auto& f) { f.delay = std::chrono::milliseconds(250); },
                  [](const auto& raw, const auto& read) {
                      EXPECT_EQ(raw.delay, std::chrono::milliseconds(250));
                      EXPECT_TRUE(read.authentic);
                  }},
        spoiler_t{
            "Truncate", [](auto& f) { f.truncate_body = true; },
            [](const auto& raw, const auto&) { EXPECT_EQ(raw.delivery, delivery_t::truncated); }},
        spoiler_t{"Oversize", [](auto& f) { f.oversize_body = true; },
                  [](const auto& raw, const auto&) { EXPECT_GT(raw.body.size(), 88u); }},
        spoiler_t{"TamperTag", [](auto& f) { f.tamper_tag = true; },
                  [](const auto&, const auto& read) {
                      EXPECT_EQ(read.tunnel_status, 0u);
                      EXPECT_FALSE(read.result.has_value());
                  }},
        spoiler_t{"WrongSequence", [](auto& f) { f.wrong_sequence = true; },
                  [](const auto&, const auto& read) {
                      EXPECT_TRUE(read.result.has_value());  // decrypts, yet answers another
                      EXPECT_FALSE(read.authentic);
                  }},
        spoiler_t{"TunnelStatus", [](auto& f) { f.tunnel_status = 0x80001600; },
                  [](const auto&, const auto& read) {
                      EXPECT_EQ(read.tunnel_status, 0x80001600u);
                      EXPECT_FALSE(read.authentic);
                  }},
        spoiler_t{"HsmResult", [](auto& f) { f.hsm_result = 0x820000; },
                  [](const auto&, const auto& read) {
                      EXPECT_TRUE(read.authentic);
                      EXPECT_EQ(read.result, 0x820000u);
                      EXPECT_TRUE(read.body.empty());
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, CommandFaultWaitsForItsCommand) {
    service::fault_t fault;
    fault.command = ORVA_GEN_APPID;
    fault.hsm_result = 0x80001601;
    engine_.inject(fault, 2);
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);
    EXPECT_EQ(send(ORVA_GEN_APPID).result, 0x80001601u);
    EXPECT_EQ(send(ORVA_GEN_APPID).result, 0x80001601u);
    EXPECT_EQ(send(ORVA_GEN_APPID).result, 0u);
}

TEST_F(EngineTest, FaultsAreServedInOrder) {
    service::fault_t first;
    first.hsm_result = 1;
    service::fault_t second;
    second.hsm_result = 2;
    engine_.inject(first);
    engine_.inject(second, 2);
    EXPECT_EQ(engine_.pending_faults(), 3u);
    EXPECT_EQ(send(ORVA_GET, 13).result, 1u);
    EXPECT_EQ(send(ORVA_GET, 13).result, 2u);
    engine_.clear_faults();
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);
}

TEST_F(EngineTest, OpenExchangeFaults) {
    service::fault_t busy;
    busy.command = ORVA_XTC_OPEN_REQ_V1;
    busy.http_status = 503;
    engine_.inject(busy);
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);  // protected requests pass
    xtc_client fresh(engine_transport(engine_), SERIAL, key_, [this] { return now_; });
    EXPECT_EQ(fresh.open().status, 503u);

    service::fault_t refused;
    refused.tunnel_status = 0x80000404;
    engine_.inject(refused);
    EXPECT_EQ(fresh.open().tunnel_status, 0x80000404u);

    service::fault_t tampered;
    tampered.tamper_tag = true;
    engine_.inject(tampered);
    EXPECT_FALSE(fresh.open().authentic);
    EXPECT_TRUE(fresh.open().authentic);
}

TEST_F(EngineTest, RequestLogKeepsHeadersInOrderAndTheDecryptedCommand) {
    engine_.clear_requests();
    const header_list_t headers = {{"Content-Type", "application/octet-stream"},
                                   {"User-Agent", "curl/7.35.0"},
                                   {"COMMAND", "ORVA_GET:ORVA_GT_FWV"},
                                   {"Req-ID", "001a2b-000001"}};
    const auto sent = command(ORVA_GET, app_, 13);
    auto reply = client_.send(sent, 4096, headers);
    ASSERT_EQ(reply.result, 0u);
    const auto log = engine_.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].target, "/vHSM/1001");
    EXPECT_EQ(log[0].headers, headers);
    EXPECT_EQ(log[0].command, ORVA_GET);
    EXPECT_EQ(log[0].command_bytes, sent);
    EXPECT_EQ(log[0].partition, SERIAL);
    EXPECT_EQ(log[0].sequence, client_.next_sequence() - 1);
    EXPECT_EQ(log[0].status, 200u);
    EXPECT_EQ(log[0].result, 0u);
}

TEST_F(EngineTest, RequestLogKeepsTheHeadOfALargeCommand) {
    const auto big = command(ORVA_GET, app_, 13, bytes(service::COMMAND_BYTES_KEPT * 2, 0x42));
    client_.send(big);
    const auto last = engine_.requests().back();
    EXPECT_EQ(last.command_size, big.size());
    EXPECT_EQ(last.command_bytes, bytes(big.begin(), big.begin() + service::COMMAND_BYTES_KEPT));
}

TEST(RequestLogCapacity, DropsTheOldest) {
    service::request_log log(3);
    for (unsigned i = 0; i < 5; ++i) {
        service::request_record_t record;
        record.status = i;
        log.append(record);
    }
    auto records = log.snapshot();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records.front().status, 2u);
    EXPECT_EQ(records.back().status, 4u);
}

}  // namespace
}  // namespace service_test
