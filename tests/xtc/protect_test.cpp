// Protection of commands and replies: the independent vectors, the envelope fields, and the
// checks a reply must pass. Buffers are sized exactly, so the sanitizer build catches any read
// past them.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <optional>
#include <string>

#include "config/codes.h"
#include "config/wire.h"
#include "tests/xtc/xtc_test_support.h"
#include "xtc/crypto.h"
#include "xtc/envelope.h"

namespace {

using xtc_test::bytes;
using xtc_test::hex_at;

constexpr std::uint64_t TIMEOUT = 300;

const nlohmann::json& wrap_vector() {
    return xtc_test::vectors().at("wrap");
}
const nlohmann::json& unwrap_vector() {
    return xtc_test::vectors().at("unwrap");
}

xtc::tunnel_handle vector_tunnel(std::uint64_t next_sequence = 0) {
    return xtc_test::open_tunnel(hex_at(wrap_vector(), "tunnel_key"),
                                 hex_at(wrap_vector(), "token"), TIMEOUT, next_sequence);
}

// Decrypts a wrapped request with the tunnel key; the plaintext from offset 120 or nothing.
std::optional<bytes> open_request(const bytes& wrapped, const xtc::tunnel_t& tunnel) {
    bytes plain(wrapped.begin() + xtc::req_v1::ENCRYPTED, wrapped.end());
    const int length = static_cast<int>(plain.size());
    if (xtc::decrypt_gcm(plain.data(), length, wrapped.data() + xtc::req_v1::AAD,
                         static_cast<int>(xtc::req_v1::AAD_SIZE), tunnel.key.data(),
                         wrapped.data() + xtc::req_v1::IV, plain.data(),
                         wrapped.data() + xtc::req_v1::TAG) != length) {
        return std::nullopt;
    }
    return plain;
}

struct reply_spec_t {
    std::uint32_t type = ORVA_XTC_RSP_V1;
    std::uint32_t status = 0;
    std::uint64_t sequence = 0;
    bytes body;
    std::optional<std::size_t> sealed_length;  // fewer bytes than sequence + result + body

    reply_spec_t& with_type(std::uint32_t value) {
        type = value;
        return *this;
    }
    reply_spec_t& with_status(std::uint32_t value) {
        status = value;
        return *this;
    }
    reply_spec_t& with_sequence(std::uint64_t value) {
        sequence = value;
        return *this;
    }
    reply_spec_t& with_body(bytes value) {
        body = std::move(value);
        return *this;
    }
    reply_spec_t& with_sealed_length(std::size_t value) {
        sealed_length = value;
        return *this;
    }
};

// A reply as the partition seals it, under the vector's tunnel key.
bytes seal_reply(const reply_spec_t& profile) {
    const bytes key = hex_at(wrap_vector(), "tunnel_key");
    bytes reply(xtc::rsp_v1::BODY + profile.body.size());
    const std::size_t sealed = profile.sealed_length.value_or(reply.size() - xtc::rsp_v1::ENCRYPTED);
    wire::put_u32(reply, xtc::rsp_v1::TYPE, profile.type);
    wire::put_u32(reply, xtc::rsp_v1::LENGTH, static_cast<std::uint32_t>(sealed));
    wire::put_u32(reply, xtc::rsp_v1::STATUS, profile.status);
    std::fill_n(reply.begin() + xtc::rsp_v1::IV, xtc::GCM_IV_SIZE, std::uint8_t{0x5c});
    wire::put_u64(reply, xtc::rsp_v1::SEQUENCE, profile.sequence);
    wire::put_bytes(reply, xtc::rsp_v1::BODY, profile.body);
    std::uint8_t* text = reply.data() + xtc::rsp_v1::ENCRYPTED;
    EXPECT_EQ(
        xtc::encrypt_gcm(text, static_cast<int>(sealed), reply.data() + xtc::rsp_v1::AAD,
                         static_cast<int>(xtc::rsp_v1::AAD_SIZE), key.data(),
                         reply.data() + xtc::rsp_v1::IV, text, reply.data() + xtc::rsp_v1::TAG),
        static_cast<int>(sealed));
    return reply;
}

bytes with_length(bytes reply, std::int32_t length) {
    wire::put_u32(reply, xtc::rsp_v1::LENGTH, static_cast<std::uint32_t>(length));
    return reply;
}

TEST(Wrap, ProducesTheVectorsProtectedRequest) {
    xtc_test::fixed_hooks hooks;
    hooks.now = wrap_vector().at("expiry").get<std::uint64_t>() - TIMEOUT;
    hooks.random_blocks.push_back(hex_at(wrap_vector(), "iv"));
    bytes request = hex_at(wrap_vector(), "plain_request_176_bytes_prefix_zero");
    // Whatever the envelope held before, wrap must write all of it.
    std::fill(request.begin() + xtc::req_v1::TYPE, request.begin() + xtc::req_v1::COMMAND, 0xEE);
    auto tunnel = vector_tunnel();

    ASSERT_TRUE(xtc::wrap(request, tunnel));

    EXPECT_EQ(request, hex_at(wrap_vector(), "wrapped_request"));
    EXPECT_EQ(tunnel->last_sequence, wrap_vector().at("sequence").get<std::uint64_t>());
    EXPECT_EQ(tunnel->counter->load(), 1u);
}

TEST(Unwrap, OpensTheVectorsProtectedReply) {
    bytes reply = hex_at(unwrap_vector(), "protected_reply");
    auto tunnel = xtc_test::open_tunnel(hex_at(unwrap_vector(), "tunnel_key"), {}, 0);
    tunnel->last_sequence = unwrap_vector().at("sequence").get<std::uint64_t>();

    ASSERT_TRUE(xtc::unwrap(reply, tunnel));

    EXPECT_EQ(wire::get_u32(reply, xtc::rsp_v1::RESULT),
              unwrap_vector().at("result").get<std::uint32_t>());
    EXPECT_EQ(bytes(reply.begin() + xtc::rsp_v1::BODY, reply.end()),
              hex_at(unwrap_vector(), "body"));
}

TEST(Wrap, ConsecutiveRequestsOnOneTunnelTakeSequence0And1WithFreshIvs) {
    auto registry = vector_tunnel();
    auto first = std::make_shared<xtc::tunnel_t>(*registry);  // copies share the counter
    auto second = std::make_shared<xtc::tunnel_t>(*registry);
    bytes a(176, 0x11), b(176, 0x11);

    ASSERT_TRUE(xtc::wrap(a, first));
    ASSERT_TRUE(xtc::wrap(b, second));

    const auto plain_a = open_request(a, *registry);
    const auto plain_b = open_request(b, *registry);
    ASSERT_TRUE(plain_a && plain_b);
    EXPECT_EQ(wire::get_u64(*plain_a, xtc::req_v1::SEQUENCE - xtc::req_v1::ENCRYPTED), 0u);
    EXPECT_EQ(wire::get_u64(*plain_b, xtc::req_v1::SEQUENCE - xtc::req_v1::ENCRYPTED), 1u);
    EXPECT_EQ(first->last_sequence, 0u);
    EXPECT_EQ(second->last_sequence, 1u);
    EXPECT_FALSE(std::equal(a.begin() + xtc::req_v1::IV, a.begin() + xtc::req_v1::TAG,
                            b.begin() + xtc::req_v1::IV));
}

struct length_case_t {
    std::size_t size;
    std::uint32_t length_field;
};

class WrapLength : public ::testing::TestWithParam<length_case_t> {};

TEST_P(WrapLength, EncryptsEverythingFromExpiryToTheEnd) {
    xtc_test::fixed_hooks hooks;
    hooks.now = 1000;
    hooks.random_blocks.push_back(bytes(xtc::GCM_IV_SIZE, 0x42));
    bytes request(GetParam().size);
    for (std::size_t i = xtc::req_v1::COMMAND; i < request.size(); ++i) {
        request[i] = static_cast<std::uint8_t>(i);
    }
    const bytes command(request.begin() + xtc::req_v1::COMMAND, request.end());
    auto tunnel = vector_tunnel(7);

    ASSERT_TRUE(xtc::wrap(request, tunnel));

    EXPECT_EQ(wire::get_u32(request, xtc::req_v1::LENGTH), GetParam().length_field);
    const auto plain = open_request(request, *tunnel);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->size(), GetParam().length_field);
    EXPECT_EQ(wire::get_u64(*plain, 0), 1000 + TIMEOUT);
    EXPECT_EQ(wire::get_u64(*plain, 8), 7u);
    EXPECT_EQ(bytes(plain->begin() + 16, plain->end()), command);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WrapLength,
                         ::testing::Values(length_case_t{136, 16}, length_case_t{176, 56},
                                           length_case_t{312, 192}));

TEST(Wrap, RejectsABufferShorterThanTheEnvelope) {
    for (std::size_t size : {0, 16, 135}) {
        bytes request(size);
        EXPECT_FALSE(xtc::wrap(request, vector_tunnel())) << size;
    }
    bytes request(176);
    EXPECT_FALSE(xtc::wrap(request, nullptr));
}

TEST(Wrap, FailsWhenTheRandomSourceFails) {
    xtc_test::fixed_hooks hooks;  // no random blocks queued
    bytes request(176);
    EXPECT_FALSE(xtc::wrap(request, vector_tunnel()));
}

TEST(Wrap, NotOpenTunnelWritesAClearOpenHeader) {
    xtc_test::fixed_hooks hooks;
    hooks.now = 5000;
    bytes request(312, 0xAA);
    const bytes command(request.begin() + xtc::req_v1::COMMAND, request.end());
    auto tunnel = vector_tunnel(9);
    tunnel->state = xtc::TUNNEL_NOT_OPEN;

    ASSERT_TRUE(xtc::wrap(request, tunnel));

    EXPECT_EQ(wire::get_u32(request, xtc::req_v1::TYPE), ORVA_XTC_OPEN_REQ_V1);
    EXPECT_EQ(wire::get_u32(request, xtc::req_v1::LENGTH), 192u);
    EXPECT_TRUE(std::all_of(request.begin() + xtc::req_v1::TOKEN,
                            request.begin() + xtc::req_v1::EXPIRY, [](auto b) { return b == 0; }));
    EXPECT_EQ(wire::get_u64(request, xtc::req_v1::EXPIRY), 5000 + TIMEOUT);
    EXPECT_EQ(wire::get_u64(request, xtc::req_v1::SEQUENCE), 0u);
    EXPECT_EQ(bytes(request.begin() + xtc::req_v1::COMMAND, request.end()), command);
    EXPECT_EQ(tunnel->counter->load(), 9u);
    EXPECT_EQ(tunnel->last_sequence, 0u);
}

struct unwrap_case_t {
    std::string name;
    std::function<bytes()> reply;
    bool accepted;
};

class UnwrapReply : public ::testing::TestWithParam<unwrap_case_t> {};

TEST_P(UnwrapReply, IsCheckedBeforeAnythingIsRead) {
    bytes reply = GetParam().reply();
    auto tunnel = vector_tunnel();
    EXPECT_EQ(xtc::unwrap(reply, tunnel), GetParam().accepted);
}

const unwrap_case_t UNWRAP_CASES[] = {
    {"EmptyBodyIsTheShortestReply", [] { return seal_reply(reply_spec_t()); }, true},
    {"NonZeroStatusWithValidTag", [] { return seal_reply(reply_spec_t().with_status(0x820000)); },
     false},
    {"WrongType", [] { return seal_reply(reply_spec_t().with_type(ORVA_XTC_REQ_V1)); }, false},
    {"OtherSequenceNumber", [] { return seal_reply(reply_spec_t().with_sequence(1)); }, false},
    {"SealedLengthShorterThanResultWord",
     [] { return seal_reply(reply_spec_t().with_sealed_length(8)); }, false},
    {"ZeroSealedLength", [] { return seal_reply(reply_spec_t().with_sealed_length(0)); }, false},
    {"Empty", [] { return bytes(); }, false},
    {"SeventyFiveBytes", [] { return bytes(75); }, false},
    {"LengthOneBeyondBuffer", [] { return with_length(seal_reply(reply_spec_t()), 13); }, false},
    {"HugeLength", [] { return with_length(seal_reply(reply_spec_t()), INT_MAX); }, false},
    {"LengthMinusOne", [] { return with_length(seal_reply(reply_spec_t()), -1); }, false},
    {"LengthMinus64", [] { return with_length(seal_reply(reply_spec_t()), -64); }, false},
    {"LengthIntMin", [] { return with_length(seal_reply(reply_spec_t()), INT_MIN); }, false},
    {"TagFlipped",
     [] {
         auto reply = seal_reply(reply_spec_t().with_body(bytes(12, 3)));
         reply[xtc::rsp_v1::TAG] ^= 1;
         return reply;
     },
     false},
    {"BodyFlipped",
     [] {
         auto reply = seal_reply(reply_spec_t().with_body(bytes(12, 3)));
         reply.back() ^= 0x80;
         return reply;
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, UnwrapReply, ::testing::ValuesIn(UNWRAP_CASES),
                         [](const auto& info) { return info.param.name; });

TEST(Unwrap, EveryBitOfTheAuthenticatedHeaderCounts) {
    const bytes valid = seal_reply(reply_spec_t().with_body(bytes(12, 3)));
    for (std::size_t bit = xtc::rsp_v1::AAD * 8;
         bit < (xtc::rsp_v1::AAD + xtc::rsp_v1::AAD_SIZE) * 8; ++bit) {
        bytes reply = valid;
        reply[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(xtc::unwrap(reply, vector_tunnel())) << "bit " << bit;
    }
}

TEST(Unwrap, TheTransportPrefixIsNotAuthenticated) {
    const bytes valid = seal_reply(reply_spec_t().with_body(bytes(12, 3)));
    for (std::size_t bit = 0; bit < xtc::rsp_v1::AAD * 8; ++bit) {
        bytes reply = valid;
        reply[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_TRUE(xtc::unwrap(reply, vector_tunnel())) << "bit " << bit;
    }
}

TEST(Unwrap, ReplyForATunnelThatIsNotOpenPassesThroughUnchanged) {
    for (std::int32_t state : {xtc::TUNNEL_DISABLED, xtc::TUNNEL_NOT_OPEN}) {
        bytes reply(40, 0x99);
        auto tunnel = vector_tunnel();
        tunnel->state = state;
        EXPECT_TRUE(xtc::unwrap(reply, tunnel));
        EXPECT_EQ(reply, bytes(40, 0x99));
    }
    bytes reply = seal_reply(reply_spec_t());
    EXPECT_FALSE(xtc::unwrap(reply, nullptr));
}

}  // namespace
