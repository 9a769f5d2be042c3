// The service's tunnel cryptography against the independent vectors: the KDF, the open
// exchange reply, opening a protected request and sealing a protected reply.

#include <gtest/gtest.h>

#include "service/crypto.h"
#include "service/tunnel.h"
#include "tests/service/service_test_support.h"

namespace {

using service_test::bytes;
using service_test::hex_at;
using service_test::vectors;

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const bytes& value) {
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(value.size(), N);
    std::copy_n(value.begin(), std::min(N, value.size()), out.begin());
    return out;
}

const nlohmann::json& open_vector() {
    return vectors().at("open_exchange");
}

service_test::pkey_ptr vector_partition_key() {
    return service_test::ec_key(hex_at(open_vector(), "partition_public_point"),
                                open_vector().at("partition_private_scalar").get<std::string>());
}

class KdfVector : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KdfVector, DerivesTheVectorKey) {
    const auto& v = vectors().at("kdf").at(GetParam());
    std::array<std::uint8_t, 32> key{};
    ASSERT_TRUE(service::crypto::tunnel_kdf(hex_at(v, "z"), hex_at(v, "nonce"),
                                            v.at("serial").get<std::uint64_t>(), key));
    EXPECT_EQ(bytes(key.begin(), key.end()), hex_at(v, "key"));
}

INSTANTIATE_TEST_SUITE_P(Vectors, KdfVector,
                         ::testing::Range<std::size_t>(0, vectors().at("kdf").size()));

TEST(OpenExchangeVector, SharedSecretAndKeyMatch) {
    std::array<std::uint8_t, 48> shared{};
    auto key = vector_partition_key();
    ASSERT_TRUE(service::crypto::ecdh_p384(
        key.get(), hex_at(open_vector(), "ephemeral_public_point"), shared));
    EXPECT_EQ(bytes(shared.begin(), shared.end()), hex_at(open_vector(), "shared_secret_z"));
    std::array<std::uint8_t, 32> derived{};
    ASSERT_TRUE(service::crypto::tunnel_kdf(shared, hex_at(open_vector(), "nonce"),
                                            open_vector().at("serial").get<std::uint64_t>(),
                                            derived));
    EXPECT_EQ(bytes(derived.begin(), derived.end()), hex_at(open_vector(), "kdf_key"));
}

TEST(OpenExchangeVector, ParsesTheVectorRequest) {
    const auto request = hex_at(open_vector(), "request_312_bytes_prefix_zero");
    auto parsed = service::parse_open_request(request);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->serial, open_vector().at("serial").get<std::uint64_t>());
    EXPECT_EQ(parsed->expiry, open_vector().at("expiry").get<std::uint64_t>());
    EXPECT_EQ(bytes(parsed->point.begin(), parsed->point.end()),
              hex_at(open_vector(), "ephemeral_public_point"));
    EXPECT_EQ(bytes(parsed->nonce.begin(), parsed->nonce.end()), hex_at(open_vector(), "nonce"));
}

TEST(OpenExchangeVector, ReproducesTheVectorResponse) {
    const auto request = hex_at(open_vector(), "request_312_bytes_prefix_zero");
    auto parsed = service::parse_open_request(request);
    ASSERT_TRUE(parsed);
    auto key = vector_partition_key();
    std::array<std::uint8_t, 224> response{};
    ASSERT_TRUE(service::build_open_response(key.get(), *parsed,
                                             fixed<64>(hex_at(open_vector(), "token")),
                                             fixed<32>(hex_at(open_vector(), "tunnel_key")),
                                             fixed<16>(hex_at(open_vector(), "gcm_iv")), response));
    EXPECT_EQ(bytes(response.begin(), response.end()),
              hex_at(open_vector(), "response_224_bytes_prefix_zero"));
}

TEST(OpenExchangeVector, PointOffTheCurveIsRefused) {
    auto request = hex_at(open_vector(), "request_312_bytes_prefix_zero");
    request[176 + 96] ^= 0x01;  // last byte of Y
    auto parsed = service::parse_open_request(request);
    ASSERT_TRUE(parsed);
    auto key = vector_partition_key();
    std::array<std::uint8_t, 224> response{};
    EXPECT_FALSE(service::build_open_response(key.get(), *parsed, {},
                                              std::array<std::uint8_t, 32>{},
                                              std::array<std::uint8_t, 16>{}, response));
}

struct malformed_open_t {
    const char* name;
    std::function<void(bytes&)> change;
};

class MalformedOpenRequest : public ::testing::TestWithParam<malformed_open_t> {};

TEST_P(MalformedOpenRequest, IsNotParsed) {
    auto request = hex_at(open_vector(), "request_312_bytes_prefix_zero");
    GetParam().change(request);
    EXPECT_FALSE(service::parse_open_request(request));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedOpenRequest,
    ::testing::Values(
        malformed_open_t{"WrongType", [](bytes& r) { service_test::put32(r, 16, 0x102); }},
        malformed_open_t{"WrongLength", [](bytes& r) { service_test::put32(r, 20, 191); }},
        malformed_open_t{"WrongCode", [](bytes& r) { service_test::put32(r, 136, 0x108); }},
        malformed_open_t{"PointTooLong", [](bytes& r) { service_test::put32(r, 296, 105); }},
        malformed_open_t{"PointCompressed", [](bytes& r) { service_test::put32(r, 296, 49); }},
        malformed_open_t{"NonceShort", [](bytes& r) { service_test::put32(r, 300, 15); }},
        malformed_open_t{"NonceHuge", [](bytes& r) { service_test::put32(r, 300, 0xFFFFFFFF); }},
        malformed_open_t{"Truncated", [](bytes& r) { r.pop_back(); }},
        malformed_open_t{"Extended", [](bytes& r) { r.push_back(0); }}),
    [](const auto& info) { return std::string(info.param.name); });

const nlohmann::json& wrap_vector() {
    return vectors().at("wrap");
}

TEST(WrapVector, UnsealsToThePlainRequest) {
    auto request = hex_at(wrap_vector(), "wrapped_request");
    ASSERT_TRUE(service::is_protected_request(request));
    ASSERT_TRUE(service::unseal_request(fixed<32>(hex_at(wrap_vector(), "tunnel_key")), request));
    // The plain request is the one before wrapping: IV and tag still zero.
    auto plain = hex_at(wrap_vector(), "plain_request_176_bytes_prefix_zero");
    EXPECT_EQ(bytes(request.begin() + 88, request.begin() + 104), hex_at(wrap_vector(), "iv"));
    std::fill(request.begin() + 88, request.begin() + 120, 0);
    EXPECT_EQ(request, plain);
    EXPECT_EQ(service_test::u64_at(request, 120), wrap_vector().at("expiry").get<std::uint64_t>());
}

TEST(WrapVector, AuthenticatedBytesAreCheckedAndThePrefixIsNot) {
    const auto key = fixed<32>(hex_at(wrap_vector(), "tunnel_key"));
    for (std::size_t offset : {16u, 24u, 87u, 88u, 104u, 120u, 175u}) {
        auto request = hex_at(wrap_vector(), "wrapped_request");
        request[offset] ^= 0x80;
        EXPECT_FALSE(service::unseal_request(key, request)) << "offset " << offset;
    }
    auto request = hex_at(wrap_vector(), "wrapped_request");
    request[3] ^= 0x80;
    EXPECT_TRUE(service::unseal_request(key, request));
}

TEST(UnwrapVector, SealsTheVectorReply) {
    const auto& v = vectors().at("unwrap");
    const auto expected = hex_at(v, "protected_reply");
    const bytes iv(expected.begin() + 32, expected.begin() + 48);
    const auto reply = service::seal_reply(fixed<32>(hex_at(v, "tunnel_key")), fixed<16>(iv),
                                           v.at("sequence").get<std::uint64_t>(),
                                           v.at("result").get<std::uint32_t>(), hex_at(v, "body"));
    EXPECT_EQ(reply, expected);
}

TEST(TunnelRefusal, CarriesOnlyTheStatus) {
    const auto reply = service::tunnel_refusal(0x80001600);
    ASSERT_EQ(reply.size(), 64u);
    EXPECT_EQ(service_test::u32_at(reply, 16), 0x103u);
    EXPECT_EQ(service_test::u32_at(reply, 20), 0u);
    EXPECT_EQ(service_test::u32_at(reply, 24), 0x80001600u);
}

}  // namespace
