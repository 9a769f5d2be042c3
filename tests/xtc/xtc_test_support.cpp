#include "tests/xtc/xtc_test_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace xtc_test {

bytes hex(std::string_view text) {
    if (text.size() % 2 != 0) {
        throw std::invalid_argument("odd hex length");
    }
    bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
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

xtc::pkey_handle ec_key(const bytes& public_point, std::string_view private_scalar) {
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                          OSSL_PARAM_BLD_free);
    std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> scalar(nullptr, BN_clear_free);
    if (!private_scalar.empty()) {
        if (private_scalar.starts_with("0x")) {
            private_scalar.remove_prefix(2);
        }
        BIGNUM* parsed = nullptr;
        if (BN_hex2bn(&parsed, std::string(private_scalar).c_str()) == 0) {
            throw std::invalid_argument("bad scalar");
        }
        scalar.reset(parsed);
    }
    if (!build ||
        OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "secp384r1", 0) !=
            1 ||
        OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, public_point.data(),
                                         public_point.size()) != 1 ||
        (scalar &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) != 1)) {
        throw std::runtime_error("parameters");
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
        OSSL_PARAM_BLD_to_param(build.get()), OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    const int selection = scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1) {
        throw std::runtime_error("EC key from vector");
    }
    return xtc::pkey_handle(key, EVP_PKEY_free);
}

xtc::tunnel_handle open_tunnel(const bytes& key, const bytes& token, std::uint64_t timeout,
                               std::uint64_t next_sequence) {
    auto tunnel = std::make_shared<xtc::tunnel_t>();
    tunnel->state = xtc::TUNNEL_OPEN;
    tunnel->counter = std::make_shared<std::atomic<std::uint64_t>>(next_sequence);
    tunnel->timeout = timeout;
    std::copy(key.begin(), key.end(), tunnel->key.begin());
    std::copy(token.begin(), token.end(), tunnel->token.begin());
    return tunnel;
}

namespace {

std::uint64_t fixed_clock() {
    return fixed_hooks::now;
}

bool queued_random(std::span<std::uint8_t> out) {
    if (fixed_hooks::random_blocks.empty() ||
        fixed_hooks::random_blocks.front().size() != out.size()) {
        return false;
    }
    std::copy(fixed_hooks::random_blocks.front().begin(), fixed_hooks::random_blocks.front().end(),
              out.begin());
    fixed_hooks::random_blocks.pop_front();
    return true;
}

xtc::pkey_handle fixed_ephemeral(const char*) {
    return fixed_hooks::ephemeral;
}

}  // namespace

fixed_hooks::fixed_hooks() : saved_(xtc::testing::hooks) {
    now = 0;
    random_blocks.clear();
    ephemeral.reset();
    xtc::testing::hooks = {&fixed_clock, &queued_random, &fixed_ephemeral};
}

fixed_hooks::~fixed_hooks() {
    xtc::testing::hooks = saved_;
    random_blocks.clear();
    ephemeral.reset();
}

}  // namespace xtc_test
