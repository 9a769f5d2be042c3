// What the engine makes of requests that are not what a good client sends: broken tunnels,
// replays, expired requests, bad targets, reply limits and plain garbage.

#include <gtest/gtest.h>

#include <random>

#include "tests/service/engine_fixture.h"

namespace service_test {
namespace {

constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t ORVA_GEN_APPID = 0x108;
constexpr std::uint32_t XTC_ERROR = 0x80001600;
constexpr std::uint32_t BUFFER_TOO_SMALL = 0x01500000;

reply_t call(service::engine& engine, std::string method, std::string target, bytes body) {
    auto reply = engine.handle({std::move(method), std::move(target), {}, std::move(body)});
    return {reply.status, reply.headers, reply.body};
}

TEST_F(EngineTest, OpenExchangeReportsThePartitionVersion) {
    xtc_client other(engine_transport(engine_), OTHER_SERIAL, other_key_, [this] { return now_; });
    auto opened = other.open(app_);
    ASSERT_TRUE(opened.authentic);
    EXPECT_EQ(header_of(opened.headers, "Partition-Version"), "1");
    EXPECT_EQ(other.send(command(ORVA_GET, app_, 13)).result, 0u);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(EngineTest, OpenExchangeRefusals) {
    // The wrong partition key cannot unseal; an unknown serial and an expired request are
    // refused with a status.
    xtc_client wrong_key(engine_transport(engine_), SERIAL, other_key_, [this] { return now_; });
    EXPECT_FALSE(wrong_key.open().authentic);

    auto unknown = [this](std::uint64_t serial) {
        return xtc_client(
            [this](const std::string&, const bytes& body, const header_list_t& h) {
                return engine_transport(engine_)("/vHSM", body, h);
            },
            serial, key_, [this] { return now_; });
    };
    auto refused = unknown(4242).open();
    EXPECT_EQ(refused.status, 200u);
    EXPECT_EQ(refused.tunnel_status, XTC_ERROR);

    xtc_client stale(engine_transport(engine_), SERIAL, key_, [this] { return now_ - 3600; });
    EXPECT_EQ(stale.open().tunnel_status, XTC_ERROR);
    EXPECT_EQ(violations().expired_requests, 1u);
}

TEST_F(EngineTest, RequestWithoutSerialIsRoutedByItsToken) {
    auto request = client_.wrap(command(ORVA_GET, app_, 13), client_.next_sequence(), 4096);
    auto reply = engine_transport(engine_)("/vHSM", request, {});
    EXPECT_TRUE(client_.read_reply(reply, client_.next_sequence()).authentic);
}

TEST_F(EngineTest, TokenOfAnotherPartitionIsUnknownThere) {
    auto request = client_.wrap(command(ORVA_GET, app_, 13), 0, 4096);
    auto reply = engine_transport(engine_)("/vHSM/" + std::to_string(OTHER_SERIAL), request, {});
    EXPECT_EQ(client_.read_reply(reply, 0).tunnel_status, XTC_ERROR);
    EXPECT_EQ(violations().unknown_tokens, 1u);
}

struct tampering_t {
    const char* name;
    std::size_t offset;  // byte of the protected request to flip
    std::uint64_t service::violation_counts_t::*counter;
};

class RequestTampering : public EngineTest, public ::testing::WithParamInterface<tampering_t> {};

TEST_P(RequestTampering, IsRefusedAndCounted) {
    auto request = client_.wrap(command(ORVA_GET, app_, 13), 0, 4096);
    request[GetParam().offset] ^= 0x04;
    auto result = client_.read_reply(client_.post(request), 0);
    EXPECT_EQ(result.status, 200u);
    EXPECT_EQ(result.tunnel_status, XTC_ERROR);
    EXPECT_FALSE(result.authentic);
    auto counts = violations();
    EXPECT_EQ(counts.*(GetParam().counter), 1u);
    EXPECT_EQ(counts.total(), 1u);
    // The tunnel stays usable for the requests that follow.
    EXPECT_EQ(client_.send(command(ORVA_GET, app_, 13)).result, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, RequestTampering,
    ::testing::Values(tampering_t{"Token", 30, &service::violation_counts_t::unknown_tokens},
                      tampering_t{"Iv", 90, &service::violation_counts_t::tag_failures},
                      tampering_t{"Tag", 110, &service::violation_counts_t::tag_failures},
                      tampering_t{"Expiry", 121, &service::violation_counts_t::tag_failures},
                      tampering_t{"Command", 150, &service::violation_counts_t::tag_failures}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ExpiryOutsideTheLifetimeIsCounted) {
    for (auto expiry : {START_TIME - 1, START_TIME + 661}) {
        auto request =
            client_.wrap(command(ORVA_GET, app_, 13), 0, 4096, static_cast<std::uint64_t>(expiry));
        EXPECT_EQ(client_.read_reply(client_.post(request), 0).tunnel_status, XTC_ERROR);
    }
    EXPECT_EQ(violations().expired_requests, 2u);
    EXPECT_EQ(violations().total(), 2u);
}

TEST_F(EngineTest, ReplayedSequenceIsRefusedAndNotRun) {
    ASSERT_EQ(send(ORVA_GEN_APPID).result, 0u);
    const auto replay = client_.last_request();
    const auto logged = engine_.requests().size();
    auto result = client_.read_reply(client_.post(replay), client_.next_sequence() - 1);
    EXPECT_EQ(result.tunnel_status, XTC_ERROR);
    EXPECT_EQ(violations().sequence_reuses, 1u);
    EXPECT_FALSE(engine_.requests().back().result);  // the HSM never saw it
    EXPECT_EQ(engine_.requests().size(), logged + 1);
}

TEST_F(EngineTest, SequencesOutOfOrderAreAccepted) {
    const auto command_bytes = command(ORVA_GET, app_, 13);
    for (std::uint64_t sequence : {5u, 3u, 4u, 1u}) {
        auto reply = client_.post(client_.wrap(command_bytes, sequence, 4096));
        EXPECT_TRUE(client_.read_reply(reply, sequence).authentic) << sequence;
    }
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(EngineTest, ReplyLargerThanTheLimitBecomesBufferTooSmall) {
    auto fitting = send(ORVA_GEN_APPID, 0, {}, 96);
    EXPECT_EQ(fitting.result, 0u);
    auto small = send(ORVA_GEN_APPID, 0, {}, 95);
    ASSERT_TRUE(small.authentic);
    EXPECT_EQ(small.result, BUFFER_TOO_SMALL);
    EXPECT_EQ(small.raw.size(), 76u);
    EXPECT_EQ(send(ORVA_GEN_APPID, 0, {}, 75).status, 400u);
}

struct target_case_t {
    const char* name;
    const char* method;
    const char* target;
    unsigned status;
};

class Targets : public EngineTest, public ::testing::WithParamInterface<target_case_t> {};

TEST_P(Targets, AreRouted) {
    auto request = client_.wrap(command(ORVA_GET, app_, 13), client_.next_sequence(), 4096);
    auto reply = call(engine_, GetParam().method, GetParam().target, request);
    EXPECT_EQ(reply.status, GetParam().status);
    EXPECT_EQ(client_.read_reply(reply, client_.next_sequence()).authentic, reply.status == 200);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Targets,
    ::testing::Values(target_case_t{"Partition", "POST", "/vHSM/1001", 200},
                      target_case_t{"NoPartition", "POST", "/vHSM", 200},
                      target_case_t{"UnknownPartition", "POST", "/vHSM/999", 404},
                      target_case_t{"EmptySerial", "POST", "/vHSM/", 404},
                      target_case_t{"NotANumber", "POST", "/vHSM/10a1", 404},
                      target_case_t{"TooLong", "POST", "/vHSM/123456789012345678901", 404},
                      target_case_t{"Query", "POST", "/vHSM/1001?x=1", 404},
                      target_case_t{"Suffix", "POST", "/vHSMx", 404},
                      target_case_t{"Elsewhere", "POST", "/token", 404},
                      target_case_t{"Get", "GET", "/vHSM/1001", 405}),
    [](const auto& info) { return std::string(info.param.name); });

struct garbage_t {
    const char* name;
    std::function<bytes(const bytes& good)> make;
};

class Garbage : public EngineTest, public ::testing::WithParamInterface<garbage_t> {};

TEST_P(Garbage, IsAnsweredWithoutRunningAnything) {
    const auto good = client_.wrap(command(ORVA_GEN_APPID, app_, 0), 0, 4096);
    auto result = client_.read_reply(client_.post(GetParam().make(good)), 0);
    EXPECT_TRUE(result.status == 400 || result.tunnel_status == XTC_ERROR) << result.status;
    EXPECT_FALSE(result.authentic);
    EXPECT_FALSE(engine_.requests().back().result);
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Garbage,
    ::testing::Values(
        garbage_t{"Empty", [](const bytes&) { return bytes{}; }},
        garbage_t{"PrefixOnly", [](const bytes& g) { return bytes(g.begin(), g.begin() + 16); }},
        garbage_t{"ZeroType", [](const bytes&) { return bytes(400, 0); }},
        garbage_t{"UnknownType",
                  [](bytes g) {
                      put32(g, 16, 0x103);
                      return g;
                  }},
        garbage_t{"LengthTooLarge",
                  [](bytes g) {
                      put32(g, 20, 0xFFFFFFFF);
                      return g;
                  }},
        garbage_t{"LengthTooSmall",
                  [](bytes g) {
                      put32(g, 20, 16);
                      return g;
                  }},
        garbage_t{"EnvelopeCut", [](const bytes& g) { return bytes(g.begin(), g.begin() + 100); }},
        garbage_t{"OneByteShort",
                  [](bytes g) {
                      g.pop_back();
                      return g;
                  }},
        garbage_t{"OpenTypeShort",
                  [](const bytes&) {
                      bytes b(200, 0);
                      put32(b, 16, 0x106);
                      return b;
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, RandomBodiesNeverBreakTheEngine) {
    std::mt19937 random(12345);
    const std::uint32_t types[] = {0x102, 0x106, 0x103, 0};
    for (int i = 0; i < 3000; ++i) {
        bytes body(random() % 400);
        for (auto& b : body) {
            b = static_cast<std::uint8_t>(random());
        }
        if (body.size() >= 24) {
            put32(body, 16, types[random() % 4]);
            if (random() % 2) {
                put32(body, 20, static_cast<std::uint32_t>(body.size() - 120));
            }
        }
        auto reply = call(engine_, "POST", "/vHSM/1001", body);
        ASSERT_TRUE(reply.status == 200 || reply.status == 400) << reply.status;
    }
    EXPECT_EQ(send(ORVA_GET, 13).result, 0u);
}

}  // namespace
}  // namespace service_test
