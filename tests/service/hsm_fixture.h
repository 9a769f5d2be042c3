#pragma once
// The engine with the challenge chain of a minted PKI directory, and the steps a client takes
// with sessions and objects: context-bound commands, login by challenge, templates.

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "service/hsm_state.h"
#include "tests/service/engine_fixture.h"

namespace service_test {

constexpr std::uint32_t OPEN_SESSION = 0x24;
constexpr std::uint32_t CLOSE_ALL_SESSIONS = 0x25;
constexpr std::uint32_t CLOSE_SESSION = 0x26;
constexpr std::uint32_t GET_SESSION_INFO = 0x27;
constexpr std::uint32_t CLEAN_ACCESS = 0x29;
constexpr std::uint32_t LOGIN = 0x0D;
constexpr std::uint32_t LOGOUT = 0x0E;
constexpr std::uint32_t REQUEST_CHALLENGE = 0x86;
constexpr std::uint32_t GET_PEC = 0x10C;
constexpr std::uint32_t OPEN_CONTEXT_SESSION = 0x10A;
constexpr std::uint32_t OPEN_CONTEXT_SESSIONLESS = 0x10B;
constexpr std::uint32_t LOGIN_MODE = 7;

struct attr_t {
    std::uint32_t type;
    bytes value;
};

/// A template in the serialisation the service accepts: 12, the count, then type, length
/// and value of each attribute.
inline bytes make_template(const std::vector<attr_t>& attributes) {
    bytes out(8, 0);
    put32(out, 0, 12);
    put32(out, 4, static_cast<std::uint32_t>(attributes.size()));
    for (const auto& attribute : attributes) {
        const std::size_t at = out.size();
        out.resize(at + 8 + attribute.value.size());
        put32(out, at, attribute.type);
        put32(out, at + 4, static_cast<std::uint32_t>(attribute.value.size()));
        std::copy(attribute.value.begin(), attribute.value.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(at + 8));
    }
    return out;
}

inline bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}

inline bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bytes word(std::uint32_t value) {
    bytes out(4, 0);
    put32(out, 0, value);
    return out;
}

/// RSA-OAEP with SHA-512 and MGF1 SHA-512 under the key of a DER certificate.
inline bytes oaep_encrypt(const bytes& cert_der, const bytes& plain) {
    const unsigned char* p = cert_der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())), X509_free);
    if (!cert) {
        return {};
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert.get()), nullptr),
        EVP_PKEY_CTX_free);
    bytes out(512);
    std::size_t length = out.size();
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) <= 0) {
        return {};
    }
    out.resize(length);
    return out;
}

class HsmTest : public EngineTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<pki_dir>(std::vector<std::uint64_t>{SERIAL});
        chain_ = service::load_challenge_chain(dir_->path() / "pec-chain");
    }
    static void TearDownTestSuite() {
        chain_.reset();
        dir_.reset();
    }
    static service::engine_options_t with_chain() {
        service::engine_options_t options;
        options.hsm.challenge_chain = chain_;
        return options;
    }
    HsmTest() : EngineTest(with_chain()) {}

    /// A command bound to a fresh command context, then `rest` from offset 196.
    result_t bound(std::uint32_t code, std::uint32_t word0, const bytes& rest = {},
                   xtc_client* client = nullptr, const app_id_t* app = nullptr) {
        auto& via = client ? *client : client_;
        const auto& as = app ? *app : app_;
        const bool sessionless = code == OPEN_SESSION || code == CLOSE_ALL_SESSIONS;
        auto context = via.send(command(
            sessionless ? OPEN_CONTEXT_SESSIONLESS : OPEN_CONTEXT_SESSION, as, word0));
        EXPECT_EQ(context.result, 0u);
        return via.send(command(code, as, word0, concat(context.body, rest)));
    }

    std::uint32_t open_session(const app_id_t* app = nullptr, xtc_client* client = nullptr) {
        const auto& as = app ? *app : app_;
        bytes rest(as.begin(), as.end());
        rest.resize(20, 0);
        put32(rest, 16, 0x5);  // flags
        auto opened = bound(OPEN_SESSION, 0, rest, client, app);
        EXPECT_EQ(opened.result, 0u);
        return opened.body.size() >= 4 ? u32_at(opened.body, 0) : 0;
    }

    bytes challenge(std::uint32_t session) {
        auto reply = send(REQUEST_CHALLENGE, session, bytes(8, 0));
        EXPECT_EQ(reply.result, 0u);
        if (reply.body.size() < 8) {
            return {};
        }
        const auto n = u32_at(reply.body, 4);
        return bytes(reply.body.begin() + 8, reply.body.begin() + 8 + n);
    }

    bytes leaf_certificate() {
        auto reply = send(GET_PEC, 0);
        EXPECT_EQ(reply.result, 0u);
        return bytes(reply.body.begin() + 12, reply.body.begin() + 12 + u32_at(reply.body, 0));
    }

    result_t send_login(std::uint32_t session, const bytes& plain) {
        auto encrypted = oaep_encrypt(leaf_certificate(), plain);
        bytes body = concat(concat(word(1), word(LOGIN_MODE)), word(encrypted.size()));
        return send(LOGIN, session, concat(body, encrypted));
    }

    std::uint32_t login(std::uint32_t session, const std::string& pin = "userpin") {
        return send_login(session, concat(challenge(session), text(pin))).result.value_or(~0u);
    }

    static inline std::unique_ptr<pki_dir> dir_;
    static inline std::shared_ptr<const service::challenge_chain_t> chain_;
};

}  // namespace service_test
