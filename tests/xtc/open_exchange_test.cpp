// The open exchange against the independent vector: the request it builds, the reply it
// accepts, and every way a reply can fail without opening the tunnel.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "config/codes.h"
#include "config/wire.h"
#include "tests/xtc/xtc_test_support.h"
#include "xtc/crypto.h"
#include "xtc/envelope.h"

namespace {

using xtc_test::bytes;
using xtc_test::hex_at;

constexpr std::uint64_t TIMEOUT = 120;
constexpr std::size_t COMMAND_CODE = 136;
constexpr std::size_t PROTOCOL_LEVEL = 140;
constexpr std::size_t APP_ID = 144;
constexpr std::uint32_t LEVEL = 23;

const nlohmann::json& vector() {
    return xtc_test::vectors().at("open_exchange");
}
std::uint64_t vector_serial() {
    return vector().at("serial").get<std::uint64_t>();
}

bool all_zero(const bytes& buffer) {
    return std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0; });
}

// The command header the send path writes before the exchange begins.
bytes open_request() {
    bytes request(xtc::open_req_v1::SIZE);
    wire::put_u32(request, COMMAND_CODE, ORVA_XTC_OPEN_REQ_V1);
    wire::put_u32(request, PROTOCOL_LEVEL, LEVEL);
    wire::put_bytes(request, APP_ID, hex_at(vector(), "application_id"));
    return request;
}

// Re-seals the 112 secret bytes of the vector's reply after `edit` changed their plaintext.
bytes resealed_reply(const std::function<void(bytes&)>& edit) {
    bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
    const bytes k = hex_at(vector(), "kdf_key");
    std::uint8_t* sealed = reply.data() + xtc::open_rsp_v1::SEALED;
    const int size = static_cast<int>(xtc::open_rsp_v1::SEALED_SIZE);
    const std::uint8_t* iv = reply.data() + xtc::open_rsp_v1::IV;
    EXPECT_EQ(xtc::decrypt_gcm(sealed, size, nullptr, 0, k.data(), iv, sealed,
                               reply.data() + xtc::open_rsp_v1::TAG),
              size);
    edit(reply);
    EXPECT_EQ(xtc::encrypt_gcm(sealed, size, nullptr, 0, k.data(), iv, sealed,
                               reply.data() + xtc::open_rsp_v1::TAG),
              size);
    return reply;
}

class OpenExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        hooks_.now = vector().at("expiry").get<std::uint64_t>() - TIMEOUT;
        hooks_.random_blocks.push_back(hex_at(vector(), "nonce"));
        hooks_.ephemeral =
            xtc_test::ec_key(hex_at(vector(), "ephemeral_public_point"),
                             vector().at("ephemeral_private_scalar").get<std::string>());
        partition_key_ = xtc_test::ec_key(hex_at(vector(), "partition_public_point"));
        state_ = xtc::make_state(TIMEOUT, {{vector_serial(), partition_key_}});
        ASSERT_TRUE(state_);
        tunnel_ = xtc::get_tunnel_copy(*state_, vector_serial());
        ASSERT_TRUE(tunnel_);
    }

    // Runs begin on a fresh request; the request is kept for inspection.
    std::uint32_t begin() {
        request_ = open_request();
        return exchange_.begin(*state_, tunnel_, request_);
    }

    xtc::tunnel_handle registry_tunnel() const {
        return xtc::get_tunnel_copy(*state_, vector_serial());
    }

    xtc_test::fixed_hooks hooks_;
    xtc::pkey_handle partition_key_;
    xtc::state_handle state_;
    xtc::tunnel_handle tunnel_;
    xtc::open_exchange_t exchange_;
    bytes request_;
};

TEST_F(OpenExchange, RequestMatchesTheVector) {
    ASSERT_EQ(begin(), 0u);
    EXPECT_EQ(request_, hex_at(vector(), "request_312_bytes_prefix_zero"));
}

TEST_F(OpenExchange, SharedSecretAndDerivedKeyMatchTheVector) {
    const auto partition =
        xtc_test::ec_key(hex_at(vector(), "partition_public_point"),
                         vector().at("partition_private_scalar").get<std::string>());
    const auto ephemeral_public = xtc_test::ec_key(hex_at(vector(), "ephemeral_public_point"));
    bytes ours(xtc::ECDH_SECRET_SIZE), theirs(xtc::ECDH_SECRET_SIZE), k(xtc::XTC_KEY_SIZE);

    ASSERT_EQ(xtc::do_ecdh(partition_key_, hooks_.ephemeral, ours.data(), ours.size()), 48u);
    ASSERT_EQ(xtc::do_ecdh(ephemeral_public, partition, theirs.data(), theirs.size()), 48u);
    const bytes nonce = hex_at(vector(), "nonce");
    ASSERT_EQ(xtc::xtc_kdf(ours.data(), ours.size(), nonce.data(), nonce.size(), vector_serial(),
                           k.data()),
              32);

    EXPECT_EQ(ours, hex_at(vector(), "shared_secret_z"));
    EXPECT_EQ(theirs, ours);
    EXPECT_EQ(k, hex_at(vector(), "kdf_key"));
    // A secret that does not fit the capacity is refused rather than cut short.
    EXPECT_EQ(xtc::do_ecdh(partition_key_, hooks_.ephemeral, ours.data(), 47), 0u);
}

TEST_F(OpenExchange, ReplyOpensTheCopyAndInstallsIt) {
    ASSERT_EQ(begin(), 0u);
    bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");

    ASSERT_EQ(exchange_.finish(*state_, tunnel_, reply), 0u);

    EXPECT_EQ(tunnel_->state, xtc::TUNNEL_OPEN);
    EXPECT_EQ(bytes(tunnel_->token.begin(), tunnel_->token.end()), hex_at(vector(), "token"));
    EXPECT_EQ(bytes(tunnel_->key.begin(), tunnel_->key.end()), hex_at(vector(), "tunnel_key"));
    EXPECT_TRUE(all_zero(reply)) << "the sealed reply must be wiped";

    const auto installed = registry_tunnel();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->state, xtc::TUNNEL_OPEN);
    EXPECT_EQ(installed->key, tunnel_->key);
    EXPECT_EQ(installed->counter, tunnel_->counter) << "installed tunnel shares the counter";
    EXPECT_EQ(xtc::get_tunnel_copy(*state_, 0)->state, xtc::TUNNEL_OPEN) << "default tunnel";
}

TEST_F(OpenExchange, AnExchangeFinishesOnlyOnce) {
    ASSERT_EQ(begin(), 0u);
    bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
    ASSERT_EQ(exchange_.finish(*state_, tunnel_, reply), 0u);
    reply = hex_at(vector(), "response_224_bytes_prefix_zero");
    EXPECT_EQ(exchange_.finish(*state_, tunnel_, reply), ORVA_RET_XTC_ERROR);
}

TEST_F(OpenExchange, FinishWithoutBeginFails) {
    bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
    EXPECT_EQ(exchange_.finish(*state_, tunnel_, reply), ORVA_RET_XTC_ERROR);
    EXPECT_EQ(registry_tunnel()->state, xtc::TUNNEL_NOT_OPEN);
}

struct reply_case_t {
    std::string name;
    std::function<bytes()> reply;
    std::uint32_t expected;
};

class OpenReply : public OpenExchange, public ::testing::WithParamInterface<reply_case_t> {};

TEST_P(OpenReply, FailsWithoutOpeningAnything) {
    ASSERT_EQ(begin(), 0u);
    bytes reply = GetParam().reply();

    EXPECT_EQ(exchange_.finish(*state_, tunnel_, reply), GetParam().expected);

    EXPECT_EQ(tunnel_->state, xtc::TUNNEL_NOT_OPEN);
    EXPECT_EQ(registry_tunnel()->state, xtc::TUNNEL_NOT_OPEN);
    EXPECT_TRUE(all_zero(reply)) << "the reply must be wiped on failure too";
}

bytes vector_reply_with(std::size_t offset, std::uint32_t value) {
    bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
    wire::put_u32(reply, offset, value);
    return reply;
}

const reply_case_t REPLY_CASES[] = {
    {"WrongType", [] { return vector_reply_with(xtc::open_rsp_v1::TYPE, ORVA_XTC_RSP_V1); },
     ORVA_RET_XTC_ERROR},
    {"StatusReturnedAsIs", [] { return vector_reply_with(xtc::open_rsp_v1::STATUS, 0x820000); },
     0x820000},
    {"TagFlipped",
     [] {
         bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
         reply[xtc::open_rsp_v1::TAG + 5] ^= 0x10;
         return reply;
     },
     ORVA_RET_XTC_ERROR},
    {"IvChanged",
     [] {
         bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
         reply[xtc::open_rsp_v1::IV + 15] ^= 0x01;
         return reply;
     },
     ORVA_RET_XTC_ERROR},
    {"OneByteShort",
     [] {
         bytes reply = hex_at(vector(), "response_224_bytes_prefix_zero");
         reply.pop_back();
         return reply;
     },
     ORVA_RET_XTC_ERROR},
    {"Empty", [] { return bytes(); }, ORVA_RET_XTC_ERROR},
    {"TokenLength63",
     [] {
         return resealed_reply(
             [](bytes& r) { wire::put_u32(r, xtc::open_rsp_v1::TOKEN_LENGTH, 63); });
     },
     ORVA_RET_XTC_ERROR},
    {"KeyLength31",
     [] {
         return resealed_reply(
             [](bytes& r) { wire::put_u32(r, xtc::open_rsp_v1::KEY_LENGTH, 31); });
     },
     ORVA_RET_XTC_ERROR},
};

INSTANTIATE_TEST_SUITE_P(Cases, OpenReply, ::testing::ValuesIn(REPLY_CASES),
                         [](const auto& info) { return info.param.name; });

TEST_F(OpenExchange, ResealedUnchangedReplyStillOpens) {
    // Guards the failure cases above: re-sealing by itself must not break the reply.
    ASSERT_EQ(begin(), 0u);
    bytes reply = resealed_reply([](bytes&) {});
    EXPECT_EQ(exchange_.finish(*state_, tunnel_, reply), 0u);
}

TEST_F(OpenExchange, BeginFailsForAPartitionWithoutKey) {
    tunnel_->serial = vector_serial() + 1;
    EXPECT_EQ(begin(), ORVA_RET_XTC_ERROR);
    EXPECT_TRUE(all_zero(request_)) << "a failed request is wiped";
}

TEST_F(OpenExchange, BeginFailsWhenTheRandomSourceFails) {
    hooks_.random_blocks.clear();
    EXPECT_EQ(begin(), ORVA_RET_XTC_ERROR);
}

TEST_F(OpenExchange, BeginFailsWithoutAnEphemeralKey) {
    hooks_.ephemeral.reset();
    EXPECT_EQ(begin(), ORVA_RET_XTC_ERROR);
}

TEST_F(OpenExchange, BeginRefusesARequestOfAnotherSize) {
    bytes request(xtc::open_req_v1::SIZE - 8);
    EXPECT_EQ(exchange_.begin(*state_, tunnel_, request), ORVA_RET_XTC_ERROR);
}

TEST(OpenExchangeWithoutPartitions, PlaceholderTunnelCannotOpen) {
    const auto state = xtc::make_state(TIMEOUT, {});
    ASSERT_TRUE(state);
    const auto tunnel = xtc::get_tunnel_copy(*state, 0);
    ASSERT_TRUE(tunnel);
    EXPECT_EQ(tunnel->serial, 0u);
    EXPECT_EQ(tunnel->state, xtc::TUNNEL_NOT_OPEN);
    bytes request = open_request();
    xtc::open_exchange_t exchange;
    EXPECT_EQ(exchange.begin(*state, tunnel, request), ORVA_RET_XTC_ERROR);
}

TEST(OpenExchangeLive, FreshKeysOpenAgainstAPartitionThatSealsWithTheirSecret) {
    // With the real random source and key generation: the partition side derives the same K
    // from the request alone, so the exchange is not tied to the vector's fixed values.
    const auto partition = xtc::create_ec_key(xtc::XTC_CURVE);
    const auto state = xtc::make_state(TIMEOUT, {{77, partition}});
    auto tunnel = xtc::get_tunnel_copy(*state, 77);
    bytes request = open_request();
    xtc::open_exchange_t exchange;
    ASSERT_EQ(exchange.begin(*state, tunnel, request), 0u);

    const auto point_length = wire::get_u32(request, xtc::open_req_v1::POINT_LENGTH);
    ASSERT_EQ(point_length, 97u);
    const auto ephemeral = xtc_test::ec_key(bytes(request.begin() + xtc::open_req_v1::POINT,
                                                  request.begin() + xtc::open_req_v1::POINT + 97));
    bytes z(48), k(32);
    ASSERT_EQ(xtc::do_ecdh(ephemeral, partition, z.data(), z.size()), 48u);
    ASSERT_EQ(
        xtc::xtc_kdf(z.data(), 48, request.data() + xtc::open_req_v1::NONCE, 16, 77, k.data()), 32);
    bytes reply(xtc::open_rsp_v1::SIZE);
    wire::put_u32(reply, xtc::open_rsp_v1::TYPE, ORVA_XTC_OPEN_RSP_V1);
    std::fill_n(reply.begin() + xtc::open_rsp_v1::TOKEN, 64, std::uint8_t{0x77});
    std::fill_n(reply.begin() + xtc::open_rsp_v1::KEY, 32, std::uint8_t{0x33});
    wire::put_u32(reply, xtc::open_rsp_v1::TOKEN_LENGTH, 64);
    wire::put_u32(reply, xtc::open_rsp_v1::KEY_LENGTH, 32);
    std::uint8_t* sealed = reply.data() + xtc::open_rsp_v1::SEALED;
    ASSERT_EQ(
        xtc::encrypt_gcm(sealed, 112, nullptr, 0, k.data(), reply.data() + xtc::open_rsp_v1::IV,
                         sealed, reply.data() + xtc::open_rsp_v1::TAG),
        112);

    ASSERT_EQ(exchange.finish(*state, tunnel, reply), 0u);
    EXPECT_EQ(bytes(tunnel->key.begin(), tunnel->key.end()), bytes(32, 0x33));
    EXPECT_EQ(bytes(tunnel->token.begin(), tunnel->token.end()), bytes(64, 0x77));
}

}  // namespace
