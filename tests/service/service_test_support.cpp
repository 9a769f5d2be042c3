#include "tests/service/service_test_support.h"

#include <ostream>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <fstream>
#include <random>
#include <stdexcept>

#include "service/crypto.h"
#include "tools/pki/pki.h"

namespace service_test {
namespace {

// Request layout, as the client lays it out.
constexpr std::size_t PREFIX_LIMIT = 0;
constexpr std::size_t PREFIX_WORD1 = 4;
constexpr std::size_t PREFIX_WORD3 = 12;
constexpr std::uint32_t PREFIX_WORD1_VALUE = 600000;
constexpr std::size_t TYPE = 16;
constexpr std::size_t LENGTH = 20;
constexpr std::size_t TOKEN = 24;
constexpr std::size_t IV = 88;
constexpr std::size_t TAG = 104;
constexpr std::size_t EXPIRY = 120;
constexpr std::size_t SEQUENCE = 128;
constexpr std::size_t COMMAND = 136;
constexpr std::size_t ENCRYPTED_FROM = 120;
constexpr std::size_t POINT = 176;
constexpr std::size_t NONCE = 280;
constexpr std::size_t POINT_LENGTH = 296;
constexpr std::size_t NONCE_LENGTH = 300;
constexpr std::size_t SERIAL = 304;
constexpr std::size_t OPEN_SIZE = 312;
constexpr std::size_t OPEN_REPLY_SIZE = 224;

// Reply layout.
constexpr std::size_t RSP_STATUS = 24;
constexpr std::size_t RSP_IV = 32;
constexpr std::size_t RSP_TAG = 48;
constexpr std::size_t RSP_SEQUENCE = 64;
constexpr std::size_t RSP_RESULT = 72;
constexpr std::size_t RSP_BODY = 76;
constexpr std::size_t OPEN_SEALED = 76;
constexpr std::size_t OPEN_SEALED_SIZE = 112;
constexpr std::size_t OPEN_KEY = 140;
constexpr std::size_t OPEN_TOKEN_LENGTH = 172;
constexpr std::size_t OPEN_KEY_LENGTH = 176;
constexpr std::size_t OPEN_TAG = 188;
constexpr std::size_t OPEN_IV = 204;

template <std::size_t N>
std::array<std::uint8_t, N> array_at(const bytes& buffer, std::size_t offset) {
    std::array<std::uint8_t, N> out{};
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(offset), N, out.begin());
    return out;
}

void put_prefix(bytes& request, std::uint32_t reply_limit) {
    put32(request, PREFIX_LIMIT, reply_limit);
    put32(request, PREFIX_WORD1, PREFIX_WORD1_VALUE);
    put32(request, PREFIX_WORD3, 1);
}

}  // namespace

bytes hex(std::string_view text) {
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

const nlohmann::json& vectors() {
    static const nlohmann::json parsed = [] {
        std::ifstream file(XIMORA_TEST_DATA_DIR "/tunnel-vectors.json");
        return nlohmann::json::parse(file);
    }();
    return parsed;
}

bytes hex_at(const nlohmann::json& node, const char* name) {
    return hex(node.at(name).get<std::string>());
}

std::uint32_t u32_at(const bytes& buffer, std::size_t offset) {
    return service::get_u32(buffer, offset);
}
std::uint64_t u64_at(const bytes& buffer, std::size_t offset) {
    return service::get_u64(buffer, offset);
}
void put32(bytes& buffer, std::size_t offset, std::uint32_t value) {
    service::put_u32(buffer, offset, value);
}
void put64(bytes& buffer, std::size_t offset, std::uint64_t value) {
    service::put_u64(buffer, offset, value);
}

pkey_ptr ec_key(const bytes& point, std::string_view private_scalar) {
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                          OSSL_PARAM_BLD_free);
    std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> scalar(nullptr, BN_clear_free);
    if (private_scalar.starts_with("0x")) {
        private_scalar.remove_prefix(2);
    }
    if (!private_scalar.empty()) {
        BIGNUM* parsed = nullptr;
        BN_hex2bn(&parsed, std::string(private_scalar).c_str());
        scalar.reset(parsed);
    }
    OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "secp384r1", 0);
    OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                     point.size());
    if (scalar) {
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get());
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
        OSSL_PARAM_BLD_to_param(build.get()), OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1) {
        throw std::runtime_error("EC key from vector");
    }
    return pkey_ptr(key, EVP_PKEY_free);
}

pkey_ptr new_p384_key() {
    return ximora::pki::generate_key(ximora::pki::EC_P384);
}

bytes public_point(const EVP_PKEY* key) {
    bytes point(133);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                        point.size(), &length) != 1) {
        throw std::runtime_error("public point");
    }
    point.resize(length);
    return point;
}

std::optional<std::string> reply_t::header(std::string_view name) const {
    return service::find_header(headers, name);
}

std::optional<std::string> header_of(const header_list_t& headers, std::string_view name) {
    return service::find_header(headers, name);
}

transport_fn engine_transport(service::engine& engine) {
    return [&engine](const std::string& target, const bytes& body, const header_list_t& headers) {
        auto reply = engine.handle({"POST", target, headers, body});
        return reply_t{reply.status, reply.headers, reply.body};
    };
}

bytes command(std::uint32_t code, const app_id_t& app, std::uint32_t word0, const bytes& body) {
    bytes out(40 + body.size(), 0);
    put32(out, 0, code);
    put32(out, 4, LEVEL);
    std::copy(app.begin(), app.end(), out.begin() + 8);
    put32(out, 36, word0);
    std::copy(body.begin(), body.end(), out.begin() + 40);
    return out;
}

xtc_client::xtc_client(transport_fn transport, std::uint64_t serial, pkey_ptr partition_public,
                       std::function<std::int64_t()> clock, std::uint64_t timeout)
    : transport_(std::move(transport)),
      serial_(serial),
      partition_public_(std::move(partition_public)),
      clock_(std::move(clock)),
      timeout_(timeout) {}

result_t xtc_client::open(const app_id_t& app) {
    auto ephemeral = new_p384_key();
    const auto point = public_point(ephemeral.get());
    bytes nonce(16);
    service::crypto::random_bytes(nonce);
    bytes request(OPEN_SIZE, 0);
    put_prefix(request, OPEN_REPLY_SIZE);
    put32(request, TYPE, 0x106);
    put32(request, LENGTH, OPEN_SIZE - ENCRYPTED_FROM);
    put64(request, EXPIRY, static_cast<std::uint64_t>(clock_()) + timeout_);
    put32(request, COMMAND, 0x106);
    put32(request, COMMAND + 4, LEVEL);
    std::copy(app.begin(), app.end(), request.begin() + COMMAND + 8);
    std::copy(point.begin(), point.end(), request.begin() + POINT);
    std::copy(nonce.begin(), nonce.end(), request.begin() + NONCE);
    put32(request, POINT_LENGTH, static_cast<std::uint32_t>(point.size()));
    put32(request, NONCE_LENGTH, 16);
    put64(request, SERIAL, serial_);
    auto reply = transport_(target(), request, {});
    result_t result;
    result.status = reply.status;
    result.headers = reply.headers;
    result.raw = reply.body;
    if (reply.status != 200 || reply.body.size() != OPEN_REPLY_SIZE ||
        u32_at(reply.body, TYPE) != 0x107) {
        return result;
    }
    result.tunnel_status = u32_at(reply.body, RSP_STATUS);
    std::array<std::uint8_t, 48> shared;
    std::array<std::uint8_t, 32> sealing;
    const auto partition_point = public_point(partition_public_.get());
    bytes sealed(reply.body.begin() + OPEN_SEALED,
                 reply.body.begin() + OPEN_SEALED + OPEN_SEALED_SIZE);
    if (*result.tunnel_status != 0 ||
        !service::crypto::ecdh_p384(ephemeral.get(), partition_point, shared) ||
        !service::crypto::tunnel_kdf(shared, nonce, serial_, sealing) ||
        !service::crypto::gcm_open(sealing, array_at<16>(reply.body, OPEN_IV), {}, sealed,
                                   array_at<16>(reply.body, OPEN_TAG))) {
        return result;
    }
    const auto tokens = [&](std::size_t at) { return u32_at(sealed, at - OPEN_SEALED); };
    if (tokens(OPEN_TOKEN_LENGTH) != 64 || tokens(OPEN_KEY_LENGTH) != 32) {
        return result;
    }
    std::copy_n(sealed.begin(), 64, token_.begin());
    std::copy_n(sealed.begin() + (OPEN_KEY - OPEN_SEALED), 32, key_.begin());
    open_ = true;
    sequence_ = 0;
    result.authentic = true;
    return result;
}

bytes xtc_client::wrap(const bytes& hsm_command, std::uint64_t sequence, std::uint32_t reply_limit,
                       std::optional<std::uint64_t> expiry) const {
    bytes request(COMMAND + hsm_command.size(), 0);
    put_prefix(request, reply_limit);
    put32(request, TYPE, 0x102);
    put32(request, LENGTH, static_cast<std::uint32_t>(request.size() - ENCRYPTED_FROM));
    std::copy(token_.begin(), token_.end(), request.begin() + TOKEN);
    std::array<std::uint8_t, 16> iv;
    service::crypto::random_bytes(iv);
    std::copy(iv.begin(), iv.end(), request.begin() + IV);
    put64(request, EXPIRY, expiry.value_or(static_cast<std::uint64_t>(clock_()) + timeout_));
    put64(request, SEQUENCE, sequence);
    std::copy(hsm_command.begin(), hsm_command.end(), request.begin() + COMMAND);
    const bytes aad(request.begin() + TYPE, request.begin() + IV);
    std::array<std::uint8_t, 16> tag;
    service::crypto::gcm_seal(key_, iv, aad, std::span(request).subspan(ENCRYPTED_FROM), tag);
    std::copy(tag.begin(), tag.end(), request.begin() + TAG);
    return request;
}

result_t xtc_client::send(const bytes& hsm_command, std::uint32_t reply_limit,
                          const header_list_t& headers) {
    const auto sequence = sequence_++;
    last_request_ = wrap(hsm_command, sequence, reply_limit);
    return read_reply(post(last_request_, headers), sequence);
}

reply_t xtc_client::post(const bytes& body, const header_list_t& headers) {
    return transport_(target(), body, headers);
}

result_t xtc_client::read_reply(reply_t reply, std::uint64_t sequence) const {
    result_t result;
    result.status = reply.status;
    result.headers = std::move(reply.headers);
    result.raw = std::move(reply.body);
    const auto& raw = result.raw;
    if (raw.size() < RSP_SEQUENCE || u32_at(raw, TYPE) != 0x103) {
        return result;
    }
    result.tunnel_status = u32_at(raw, RSP_STATUS);
    const auto length = static_cast<std::int32_t>(u32_at(raw, LENGTH));
    if (raw.size() <= 75 || length < 12 || raw.size() < static_cast<std::size_t>(length) + 64 ||
        *result.tunnel_status != 0) {
        return result;
    }
    bytes plain(raw.begin() + RSP_SEQUENCE, raw.begin() + RSP_SEQUENCE + length);
    const bytes aad(raw.begin() + TYPE, raw.begin() + RSP_IV);
    if (!service::crypto::gcm_open(key_, array_at<16>(raw, RSP_IV), aad, plain,
                                   array_at<16>(raw, RSP_TAG))) {
        return result;
    }
    result.result = u32_at(plain, RSP_RESULT - RSP_SEQUENCE);
    result.body.assign(plain.begin() + (RSP_BODY - RSP_SEQUENCE), plain.end());
    result.authentic = u64_at(plain, 0) == sequence;
    return result;
}

pki_dir::pki_dir(std::vector<std::uint64_t> partitions) {
    static std::mt19937_64 names{std::random_device{}()};
    path_ =
        std::filesystem::temp_directory_path() / ("ximora-service-test-" + std::to_string(names()));
    const auto root = ximora::pki::self_signed(ximora::pki::root_spec());
    ximora::pki::deployment_options_t options;
    options.partitions = std::move(partitions);
    ximora::pki::mint_deployment(root, path_, options);
}

pki_dir::~pki_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

pkey_ptr pki_dir::partition_public_key(std::uint64_t serial) const {
    auto cert = ximora::pki::load_cert(path_ / ("partition-" + std::to_string(serial) + ".pem"));
    EVP_PKEY* key = X509_get_pubkey(cert.get());
    return pkey_ptr(key, EVP_PKEY_free);
}

}  // namespace service_test
