// Login by challenge and response: the secret never travels in the clear. The HSM hands out a
// challenge and its challenge certificates; challenge and secret go back encrypted under the
// verified leaf's RSA key.

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "config/codes.h"
#include "config/wire.h"
#include "operations/common.h"
#include "operations/sessions.h"
#include "plugin/command.h"
#include "plugin/send_path.h"
#include "plugin/session_maps.h"
#include "xtc/cert.h"
#include "xtc/secret.h"

namespace {

// The login mode of a secret-based login.
constexpr std::uint32_t SECRET_LOGIN_MODE = 7;
// The only challenge type the plug-in asks for.
constexpr std::uint32_t CHALLENGE_TYPE = 0;

namespace challenge_layout {
constexpr std::size_t REQUEST_SIZE = 184;
constexpr std::size_t TYPE = 176;
constexpr std::size_t FIRST_WORD = 76;  // response
constexpr std::size_t LENGTH = 80;
constexpr std::size_t BYTES = 84;
}  // namespace challenge_layout

namespace pec_layout {
constexpr std::size_t REQUEST_SIZE = 176;
constexpr std::size_t MAX_CERTIFICATES = 0x3400;  // all three together
constexpr std::size_t LEAF_LENGTH = 76;           // response
constexpr std::size_t SECOND_LENGTH = 80;
constexpr std::size_t THIRD_LENGTH = 84;
constexpr std::size_t CERTIFICATES = 88;
constexpr std::size_t RESPONSE_SIZE = CERTIFICATES + MAX_CERTIFICATES;
}  // namespace pec_layout

namespace login_layout {
constexpr std::size_t HEADER_SIZE = 188;
constexpr std::size_t RESPONSE_SIZE = 80;
constexpr std::size_t USER = 176;
constexpr std::size_t MODE = 180;
constexpr std::size_t LENGTH = 184;
constexpr std::size_t ENCRYPTED = 188;
}  // namespace login_layout

// The largest RSA-OAEP output accepted: a 4096-bit challenge key.
constexpr std::size_t MAX_ENCRYPTED = 512;

using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

std::uint32_t read_challenge(const cmd_t& cmd, std::uint32_t* first_out,
                             api_memory_block& challenge) {
    namespace layout = challenge_layout;
    auto first = wire::get_u32(cmd.response, layout::FIRST_WORD);
    auto length = wire::get_u32(cmd.response, layout::LENGTH);
    if (!first || !length) {
        return ops::REPLY_TOO_SHORT;
    }
    const std::uint32_t copied = std::min(*length, challenge.length);
    auto bytes = wire::get_bytes(cmd.response, layout::BYTES, copied);
    if (challenge.data != nullptr && !bytes) {
        return ops::REPLY_TOO_SHORT;
    }
    if (first_out != nullptr) {
        *first_out = *first;
    }
    challenge.length = *length;
    if (challenge.data != nullptr && copied != 0) {
        std::memcpy(challenge.data, bytes->data(), copied);
    }
    return RC_OK;
}

std::vector<std::uint8_t> to_vector(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// The leaf's key from an ORVA_GET_PEC reply, after the lengths and the chain were checked.
std::uint32_t challenge_key(const cmd_t& cmd, xtc::pkey_handle& key) {
    namespace layout = pec_layout;
    auto leaf = wire::get_u32(cmd.response, layout::LEAF_LENGTH);
    auto second = wire::get_u32(cmd.response, layout::SECOND_LENGTH);
    auto third = wire::get_u32(cmd.response, layout::THIRD_LENGTH);
    if (!leaf || !second || !third) {
        return ops::REPLY_TOO_SHORT;
    }
    const std::size_t total = std::size_t{*leaf} + *second + *third;
    if (*leaf > layout::MAX_CERTIFICATES || *second > layout::MAX_CERTIFICATES ||
        *third > layout::MAX_CERTIFICATES || total > layout::MAX_CERTIFICATES) {
        return RC_BUFFER_TOO_SMALL;
    }
    auto certificates = wire::get_bytes(cmd.response, layout::CERTIFICATES, total);
    if (!certificates) {
        return ops::REPLY_TOO_SHORT;
    }
    auto leaf_cert = xtc::read_cert(to_vector(certificates->first(*leaf)));
    auto chain = xtc::read_certs(std::vector<std::vector<std::uint8_t>>{
        to_vector(certificates->subspan(*leaf, *second)),
        to_vector(certificates->subspan(*leaf + *second, *third))});
    if (!leaf_cert || !chain) {
        return ORVA_RET_INVALID_CERTIFICATE_DATA;
    }
    key = xtc::get_cert_key(xtc::PEC_CHAIN, leaf_cert, chain);
    return key ? RC_OK : ORVA_RET_INVALID_CERTIFICATE_DATA;
}

std::uint32_t oaep_encrypt(const xtc::pkey_handle& key, std::span<const std::uint8_t> plaintext,
                           std::vector<std::uint8_t>& out) {
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
    if (!ctx) {
        return RC_MEMORY_ALLOCATION;
    }
    if (EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha512()) <= 0) {
        return RC_DATA_INVALID;
    }
    out.assign(MAX_ENCRYPTED, 0);
    std::size_t length = out.size();
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plaintext.data(), plaintext.size()) <= 0) {
        out.clear();
        return RC_DATA_INVALID;
    }
    out.resize(length);
    return RC_OK;
}

std::uint32_t send_login(std::uint64_t partition, std::uint32_t session, std::uint32_t user,
                         std::uint32_t mode, std::span<const std::uint8_t> encrypted) {
    namespace layout = login_layout;
    cmd_t cmd =
        ops::build_session_command(partition, session, ORVA_LOGIN, ops::MULTIPART | ops::MUTATES,
                                   layout::HEADER_SIZE + encrypted.size(), layout::RESPONSE_SIZE);
    ops::put_u32(cmd, layout::USER, user);
    ops::put_u32(cmd, layout::MODE, mode);
    ops::put_u32(cmd, layout::LENGTH, static_cast<std::uint32_t>(encrypted.size()));
    ops::put_bytes(cmd, layout::ENCRYPTED, encrypted);
    return send_command(cmd);
}

std::uint32_t login_once(std::uint32_t session, std::uint32_t container, std::uint32_t user,
                         const api_memory_block* secret, std::uint32_t mode, bool extra_flag) {
    if (extra_flag) {
        return ORVA_RET_DATA_INVALID;
    }
    challenge_t challenge;
    if (std::uint32_t rc = obtain_challenge(session, container, challenge); rc != RC_OK) {
        return rc;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    if (ops::container_to_partition(container) != partition) {
        return ORVA_RET_CONTAINER_HANDLE_INVALID;
    }
    std::vector<std::uint8_t> encrypted;
    if (std::uint32_t rc =
            do_challenge_response(challenge.view(), secret, encrypted, partition, session);
        rc != RC_OK) {
        return rc;
    }
    return send_login(partition, session, user, mode, encrypted);
}

}  // namespace

std::uint32_t request_challenge(void*, std::uint32_t session, std::uint32_t container,
                                std::uint32_t type, std::uint32_t* first_out,
                                api_memory_block* challenge) {
    namespace layout = challenge_layout;
    if (challenge == nullptr) {
        return RC_POINTER_INVALID;
    }
    if (type != CHALLENGE_TYPE) {
        return ORVA_RET_CHALLENGE_TYPE_INVALID;
    }
    const std::uint64_t partition = session_to_partition(session);
    if (partition == 0) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    if (ops::container_to_partition(container) != partition) {
        return ORVA_RET_CONTAINER_HANDLE_INVALID;
    }
    cmd_t cmd = ops::build_session_command(partition, session, ORVA_REQUEST_CHALLENGE,
                                           ops::MULTIPART | ops::MUTATES, layout::REQUEST_SIZE,
                                           layout::BYTES + std::size_t{challenge->length});
    ops::put_u32(cmd, layout::TYPE, CHALLENGE_TYPE);
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    return read_challenge(cmd, first_out, *challenge);
}

std::uint32_t obtain_challenge(std::uint32_t session, std::uint32_t container, challenge_t& out) {
    api_memory_block block{out.bytes.data(), CHALLENGE_CAPACITY};
    if (std::uint32_t rc =
            request_challenge(nullptr, session, container, CHALLENGE_TYPE, &out.first_word, &block);
        rc != RC_OK) {
        return rc;
    }
    if (block.length > CHALLENGE_CAPACITY) {
        return RC_CHALLENGE_BUFFER_SIZE;
    }
    out.length = block.length;
    return RC_OK;
}

std::uint32_t do_challenge_response(std::span<const std::uint8_t> challenge,
                                    const api_memory_block* secret, std::vector<std::uint8_t>& out,
                                    std::uint64_t partition, std::uint32_t session) {
    auto secret_bytes = ops::required_input(secret);
    if (!secret_bytes) {
        return RC_POINTER_INVALID;
    }
    cmd_t cmd = ops::build_command(partition, ORVA_GET_PEC, ops::MULTIPART,
                                   pec_layout::REQUEST_SIZE, pec_layout::RESPONSE_SIZE);
    cmd.session = session;
    if (std::uint32_t rc = send_command(cmd); rc != RC_OK) {
        return rc;
    }
    xtc::pkey_handle key;
    if (std::uint32_t rc = challenge_key(cmd, key); rc != RC_OK) {
        return rc;
    }
    if (challenge.size() + secret_bytes->size() > MAX_CHALLENGE_PLAINTEXT) {
        return ORVA_RET_DATA_INVALID;
    }
    std::vector<std::uint8_t> plaintext(challenge.size() + secret_bytes->size());
    xtc::buffer_wipe wipe(plaintext);
    std::copy(challenge.begin(), challenge.end(), plaintext.begin());
    std::copy(secret_bytes->begin(), secret_bytes->end(), plaintext.begin() + challenge.size());
    return oaep_encrypt(key, plaintext, out);
}

std::uint32_t login(void* host, std::uint32_t session, std::uint32_t container, std::uint32_t user,
                    const api_memory_block* secret, std::uint32_t, bool extra_flag) {
    // Without a secret the mode is never used: login_exec fails before building the login.
    return login_exec(host, session, container, user, secret, SECRET_LOGIN_MODE, extra_flag);
}

std::uint32_t login_exec(void*, std::uint32_t session, std::uint32_t container, std::uint32_t user,
                         const api_memory_block* secret, std::uint32_t mode, bool extra_flag) {
    return automated_retry(
        [&] { return login_once(session, container, user, secret, mode, extra_flag); },
        SEQUENCE_ATTEMPTS);
}
