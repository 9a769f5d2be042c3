#include "tests/support/fake_hsm.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <stdexcept>

#include "config/codes.h"
#include "config/wire.h"
#include "plugin/send_path.h"
#include "rest/rest_driver.h"
#include "xtc/crypto.h"
#include "xtc/envelope.h"
#include "xtc/xtc.h"

namespace fake {
namespace {

constexpr std::uint32_t XTC_REQ = 0x102;
constexpr std::uint32_t XTC_RSP = 0x103;
constexpr std::uint32_t XTC_OPEN_REQ = 0x106;
constexpr std::uint32_t XTC_OPEN_RSP = 0x107;
constexpr std::size_t POINT_SIZE = 97;

xtc::pkey_handle public_key_from_point(std::span<const std::uint8_t> point) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                         const_cast<char*>("secp384r1"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<std::uint8_t*>(point.data()), point.size()),
        OSSL_PARAM_construct_end()};
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
        return nullptr;
    }
    return xtc::pkey_handle(key, EVP_PKEY_free);
}

xtc::pkey_handle public_half(const xtc::pkey_handle& key) {
    unsigned char point[POINT_SIZE];
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                        &length) != 1) {
        throw std::runtime_error("no public point");
    }
    return public_key_from_point({point, length});
}

std::vector<std::uint8_t> random_vector(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    xtc::random_bytes(bytes);
    return bytes;
}

std::mutex s_transport_mutex;  // guards s_transport
transport_t s_transport;

transport_t current_transport() {
    std::lock_guard lock(s_transport_mutex);
    return s_transport;
}

}  // namespace

void set_transport(transport_t transport) {
    std::lock_guard lock(s_transport_mutex);
    s_transport = std::move(transport);
}

hsm::hsm(std::map<std::uint64_t, xtc::pkey_handle> partition_keys)
    : keys_(std::move(partition_keys)) {}

xtc::pkey_handle hsm::make_key() { return xtc::create_ec_key(xtc::XTC_CURVE); }

void hsm::install(std::uint64_t timeout) {
    std::unordered_map<std::uint64_t, xtc::pkey_handle> public_keys;
    for (const auto& [serial, key] : keys_) {
        public_keys.emplace(serial, public_half(key));
    }
    set_xtc_state(xtc::make_state(timeout, std::move(public_keys)));
    install_transport();
}

void hsm::install_transport() {
    set_transport([this](cmd_t& cmd) { return transport(cmd); });
}

void hsm::uninstall() {
    set_transport(nullptr);
    set_xtc_state(nullptr);
}

void hsm::set_script(script_t script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

std::vector<received_t> hsm::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int hsm::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::uint32_t hsm::transport(cmd_t& cmd) {
    switch (wire::get_u32(cmd.request, xtc::req_v1::TYPE).value_or(0)) {
        case XTC_OPEN_REQ:
            return answer_open(cmd);
        case XTC_REQ:
            return answer_command(cmd);
        default:
            throw std::runtime_error("fake hsm: unexpected message type");
    }
}

std::uint32_t hsm::answer_open(cmd_t& cmd) {
    namespace req = xtc::open_req_v1;
    namespace rsp = xtc::open_rsp_v1;
    const std::uint64_t serial = *wire::get_u64(cmd.request, req::SERIAL);
    auto own = keys_.at(serial);
    auto peer = public_key_from_point(
        *wire::get_bytes(cmd.request, req::POINT, *wire::get_u32(cmd.request, req::POINT_LENGTH)));
    std::uint8_t z[xtc::ECDH_SECRET_SIZE];
    std::uint8_t k[xtc::XTC_KEY_SIZE];
    if (xtc::do_ecdh(peer, own, z, sizeof z) != sizeof z ||
        xtc::xtc_kdf(z, sizeof z, cmd.request.data() + req::NONCE, xtc::NONCE_SIZE, serial, k) !=
            static_cast<int>(sizeof k)) {
        throw std::runtime_error("fake hsm: key agreement failed");
    }
    auto token = random_vector(xtc::TOKEN_SIZE);
    auto key = random_vector(xtc::KEY_SIZE);
    std::vector<std::uint8_t> reply(rsp::SIZE, 0);
    wire::put_u32(reply, rsp::TYPE, XTC_OPEN_RSP);
    wire::put_bytes(reply, rsp::TOKEN, token);
    wire::put_bytes(reply, rsp::KEY, key);
    wire::put_u32(reply, rsp::TOKEN_LENGTH, xtc::TOKEN_SIZE);
    wire::put_u32(reply, rsp::KEY_LENGTH, xtc::KEY_SIZE);
    xtc::random_bytes(std::span(reply).subspan(rsp::IV, xtc::GCM_IV_SIZE));
    xtc::encrypt_gcm(reply.data() + rsp::SEALED, rsp::SEALED_SIZE, nullptr, 0, k,
                     reply.data() + rsp::IV, reply.data() + rsp::SEALED, reply.data() + rsp::TAG);
    {
        std::lock_guard lock(mutex_);
        tunnel_keys_[token] = key;
        ++opens_;
    }
    cmd.response = std::move(reply);
    return 0;
}

std::uint32_t hsm::answer_command(cmd_t& cmd) {
    namespace req = xtc::req_v1;
    namespace rsp = xtc::rsp_v1;
    std::vector<std::uint8_t> token(cmd.request.begin() + req::TOKEN,
                                    cmd.request.begin() + req::TOKEN + xtc::TOKEN_SIZE);
    std::vector<std::uint8_t> key;
    script_t script;
    {
        std::lock_guard lock(mutex_);
        key = tunnel_keys_.at(token);
        script = script_;
    }
    const int length = static_cast<int>(cmd.request.size() - req::ENCRYPTED);
    std::uint8_t* data = cmd.request.data() + req::ENCRYPTED;
    if (xtc::decrypt_gcm(data, length, cmd.request.data() + req::AAD, req::AAD_SIZE, key.data(),
                         cmd.request.data() + req::IV, data,
                         cmd.request.data() + req::TAG) != length) {
        throw std::runtime_error("fake hsm: request does not authenticate");
    }
    received_t received{cmd.partition, *wire::get_u32(cmd.request, req::COMMAND),
                        *wire::get_u64(cmd.request, req::SEQUENCE),
                        {cmd.request.begin() + req::COMMAND, cmd.request.end()}};
    {
        std::lock_guard lock(mutex_);
        received_.push_back(received);
    }
    reply_t answer = script ? script(received) : reply_t{};
    if (answer.transport_failure != 0) {
        return answer.transport_failure;
    }
    if (answer.empty) {
        cmd.response.clear();
        return 0;
    }
    const std::size_t encrypted = rsp::BODY - rsp::SEQUENCE + answer.body.size();
    std::vector<std::uint8_t> reply(rsp::SEQUENCE + encrypted, 0);
    wire::put_u32(reply, rsp::TYPE, XTC_RSP);
    wire::put_u32(reply, rsp::LENGTH, static_cast<std::uint32_t>(encrypted));
    wire::put_u64(reply, rsp::SEQUENCE, received.sequence);
    wire::put_u32(reply, rsp::RESULT, answer.result);
    wire::put_bytes(reply, rsp::BODY, answer.body);
    xtc::random_bytes(std::span(reply).subspan(rsp::IV, xtc::GCM_IV_SIZE));
    xtc::encrypt_gcm(reply.data() + rsp::SEQUENCE, static_cast<int>(encrypted),
                     reply.data() + rsp::AAD, rsp::AAD_SIZE, key.data(), reply.data() + rsp::IV,
                     reply.data() + rsp::SEQUENCE, reply.data() + rsp::TAG);
    cmd.response = std::move(reply);
    return 0;
}

}  // namespace fake

// The transport as the send path sees it, standing in for the REST driver.
std::uint32_t rest_send(cmd_t& cmd) {
    auto transport = fake::current_transport();
    return transport ? transport(cmd) : RC_GENERAL_ERROR;
}

bool rest_initialize() { return static_cast<bool>(fake::current_transport()); }

bool rest_finalize() { return true; }
