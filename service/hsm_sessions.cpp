// Sessions, login and access of the emulated HSM. A session belongs to the application id
// and container that opened it; only that application may use it. Login answers a challenge:
// the client encrypts the outstanding challenge followed by the PIN with RSA-OAEP (SHA-512,
// MGF1 SHA-512) under the challenge chain's leaf, and each challenge serves one attempt.
//
// Session info words (reply offsets 96, 100 and 104): the login state (0 open, 1 logged in),
// the user logged in (0 when none) and the flags the session was opened with.
#include "service/hsm_sessions.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "service/crypto.h"
#include "tools/pki/pki.h"

namespace service {
namespace {

namespace open_layout {
constexpr std::size_t CONTAINER = CMD_WORD0;
constexpr std::size_t APP_ID = 196;
constexpr std::size_t FLAGS = 212;
constexpr std::size_t RSP_SESSION = 0;
constexpr std::size_t RSP_SIZE = 4;
}  // namespace open_layout

// ORVA_CLOSE_ALL_SESSIONS repeats the application id after its command context; the access
// commands carry it right after the container.
constexpr std::size_t CLOSE_ALL_APP_ID = 196;
constexpr std::size_t ACCESS_APP_ID = 176;

namespace login_layout {
constexpr std::size_t USER = 176;
constexpr std::size_t MODE = 180;
constexpr std::size_t LENGTH = 184;
constexpr std::size_t ENCRYPTED = 188;
constexpr std::uint32_t SECRET_MODE = 7;
constexpr std::size_t MAX_ENCRYPTED = 512;
}  // namespace login_layout

namespace challenge_layout {
constexpr std::size_t TYPE = 176;
constexpr std::uint32_t ONLY_TYPE = 0;
constexpr std::size_t SIZE = 32;
constexpr std::size_t RSP_FIRST = 0;
constexpr std::size_t RSP_LENGTH = 4;
constexpr std::size_t RSP_BYTES = 8;
}  // namespace challenge_layout

namespace info_layout {
constexpr std::size_t RSP_STATE = 20;
constexpr std::size_t RSP_USER = 24;
constexpr std::size_t RSP_FLAGS = 28;
constexpr std::size_t RSP_SIZE = 32;
}  // namespace info_layout

namespace pec_layout {
constexpr std::size_t RSP_LEAF_LENGTH = 0;
constexpr std::size_t RSP_SECOND_LENGTH = 4;
constexpr std::size_t RSP_THIRD_LENGTH = 8;
constexpr std::size_t RSP_CERTIFICATES = 12;
}  // namespace pec_layout

// Handles are unique across partitions: a client keeps one map from handle to partition.
std::atomic<std::uint32_t> next_session_handle{2};

std::uint32_t fresh_session_handle() {
    std::uint32_t handle = next_session_handle.fetch_add(1);
    while (handle < 2) {  // after a wrap: 0 names no session, 1 stands for "none yet"
        handle = next_session_handle.fetch_add(1);
    }
    return handle;
}

bool repeats_app_id(const command_t& command, std::size_t offset) {
    const auto app = command.app_id();
    auto repeated = get_bytes(command.request, offset, APP_ID_SIZE);
    return std::equal(app.begin(), app.end(), repeated.begin(), repeated.end());
}

void close_session_record(partition_t& partition, std::uint32_t handle) {
    end_searches_of(partition, handle);
    partition.state().sessions.erase(handle);
}

// Every session of the command's application on this partition.
std::uint32_t close_app_sessions(command_t& command, std::size_t app_offset) {
    if (!repeats_app_id(command, app_offset)) {
        return ORVA_RET_ARGUMENTS_BAD;
    }
    const auto app = command.app_id();
    if (!command.hsm.apps().known(app)) {
        return ORVA_RET_SM_ACCESS_ID_INVALID;
    }
    auto& sessions = command.partition.state().sessions;
    std::vector<std::uint32_t> closing;
    for (const auto& [handle, record] : sessions) {
        if (record.app == app) {
            closing.push_back(handle);
        }
    }
    for (auto handle : closing) {
        close_session_record(command.partition, handle);
    }
    if (!closing.empty()) {
        command.partition.bump_version();
        command.partition.bump_app_sessions(app);
    }
    return ORVA_RET_OK;
}

std::uint32_t open_session(command_t& command) {
    namespace layout = open_layout;
    if (!repeats_app_id(command, layout::APP_ID)) {
        return ORVA_RET_ARGUMENTS_BAD;
    }
    auto& sessions = command.partition.state().sessions;
    if (sessions.size() >= command.hsm.options().session_capacity) {
        return ORVA_RET_MAX_SESSION_COUNT;
    }
    session_record_t record;
    record.app = command.app_id();
    record.container = get_u32(command.request, layout::CONTAINER);
    record.flags = get_u32(command.request, layout::FLAGS);
    const auto handle = fresh_session_handle();
    sessions[handle] = std::move(record);
    command.body.assign(layout::RSP_SIZE, 0);
    put_u32(command.body, layout::RSP_SESSION, handle);
    command.partition.bump_version();
    command.partition.bump_app_sessions(command.app_id());
    return ORVA_RET_OK;
}

std::uint32_t close_session(command_t& command) {
    if (session_of(command) == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    close_session_record(command.partition, command.word0());
    command.partition.bump_version();
    command.partition.bump_app_sessions(command.app_id());
    return ORVA_RET_OK;
}

std::uint32_t request_challenge(command_t& command) {
    namespace layout = challenge_layout;
    auto* session = session_of(command);
    if (session == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    if (get_u32(command.request, layout::TYPE) != layout::ONLY_TYPE) {
        return ORVA_RET_CHALLENGE_TYPE_INVALID;
    }
    bytes challenge(layout::SIZE);
    if (!crypto::random_bytes(challenge)) {
        return ORVA_RET_GENERAL_ERROR;
    }
    session->challenge = challenge;
    ++session->challenges_issued;
    command.body.assign(layout::RSP_BYTES + challenge.size(), 0);
    put_u32(command.body, layout::RSP_FIRST, session->challenges_issued);
    put_u32(command.body, layout::RSP_LENGTH, static_cast<std::uint32_t>(challenge.size()));
    put_bytes(command.body, layout::RSP_BYTES, challenge);
    return ORVA_RET_OK;
}

std::uint32_t get_pec(command_t& command) {
    namespace layout = pec_layout;
    const auto& chain = command.hsm.options().challenge_chain;
    if (!chain) {
        return ORVA_RET_GENERAL_ERROR;
    }
    const std::size_t a = chain->leaf.size();
    const std::size_t b = chain->second.size();
    command.body.assign(layout::RSP_CERTIFICATES + a + b + chain->third.size(), 0);
    put_u32(command.body, layout::RSP_LEAF_LENGTH, static_cast<std::uint32_t>(a));
    put_u32(command.body, layout::RSP_SECOND_LENGTH, static_cast<std::uint32_t>(b));
    put_u32(command.body, layout::RSP_THIRD_LENGTH, static_cast<std::uint32_t>(chain->third.size()));
    put_bytes(command.body, layout::RSP_CERTIFICATES, chain->leaf);
    put_bytes(command.body, layout::RSP_CERTIFICATES + a, chain->second);
    put_bytes(command.body, layout::RSP_CERTIFICATES + a + b, chain->third);
    return ORVA_RET_OK;
}

using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// The plaintext of a login answer, wiped by the caller; false when it does not decrypt.
bool oaep_decrypt(EVP_PKEY* key, std::span<const std::uint8_t> encrypted, bytes& plain) {
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha512()) <= 0) {
        return false;
    }
    std::size_t length = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &length, encrypted.data(), encrypted.size()) <= 0) {
        return false;
    }
    plain.assign(length, 0);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &length, encrypted.data(), encrypted.size()) <=
        0) {
        crypto::wipe(plain);
        plain.clear();
        return false;
    }
    plain.resize(length);
    return true;
}

// Challenge first, PIN after it; both compared in constant time.
std::uint32_t check_answer(std::span<const std::uint8_t> plain, const bytes& challenge,
                           const std::string& pin) {
    if (plain.size() < challenge.size() ||
        CRYPTO_memcmp(plain.data(), challenge.data(), challenge.size()) != 0) {
        return ORVA_RET_DATA_INVALID;
    }
    auto given = plain.subspan(challenge.size());
    if (given.size() != pin.size() || CRYPTO_memcmp(given.data(), pin.data(), pin.size()) != 0) {
        return ORVA_RET_UM_PIN_INCORRECT;
    }
    return ORVA_RET_OK;
}

std::uint32_t login(command_t& command) {
    namespace layout = login_layout;
    auto* session = session_of(command);
    if (session == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    const auto challenge = std::move(session->challenge);  // one attempt per challenge
    session->challenge.clear();
    const auto length = get_u32(command.request, layout::LENGTH);
    if (get_u32(command.request, layout::MODE) != layout::SECRET_MODE ||
        length > layout::MAX_ENCRYPTED) {
        return ORVA_RET_ARGUMENTS_BAD;
    }
    auto encrypted = get_bytes(command.request, layout::ENCRYPTED, length);
    if (session->logged_in) {
        return ORVA_RET_USER_ALREADY_LOGGED_IN;
    }
    const auto& chain = command.hsm.options().challenge_chain;
    if (challenge.empty() || !chain) {
        return ORVA_RET_DATA_INVALID;
    }
    bytes plain;
    if (!oaep_decrypt(chain->leaf_key.get(), encrypted, plain)) {
        return ORVA_RET_DATA_INVALID;
    }
    const auto result = check_answer(plain, challenge, command.hsm.options().user_pin);
    crypto::wipe(plain);
    if (result != ORVA_RET_OK) {
        return result;
    }
    session->logged_in = true;
    session->user = get_u32(command.request, layout::USER);
    command.partition.bump_app_sessions(command.app_id());
    return ORVA_RET_OK;
}

std::uint32_t logout(command_t& command) {
    auto* session = session_of(command);
    if (session == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    if (!session->logged_in) {
        return ORVA_RET_USER_NOT_LOGGED_IN;
    }
    session->logged_in = false;
    session->user = 0;
    command.partition.bump_app_sessions(command.app_id());
    return ORVA_RET_OK;
}

std::uint32_t session_info(command_t& command) {
    namespace layout = info_layout;
    const auto* session = session_of(command);
    if (session == nullptr) {
        return ORVA_RET_SM_SESSION_HANDLE_INVALID;
    }
    command.body.assign(layout::RSP_SIZE, 0);
    put_u32(command.body, layout::RSP_STATE, session->logged_in ? 1 : 0);
    put_u32(command.body, layout::RSP_USER, session->user);
    put_u32(command.body, layout::RSP_FLAGS, session->flags);
    return ORVA_RET_OK;
}

bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("missing file " + path.string());
    }
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

session_record_t* session_of(command_t& command) {
    auto& sessions = command.partition.state().sessions;
    auto it = sessions.find(command.word0());
    if (it == sessions.end() || it->second.app != command.app_id()) {
        return nullptr;
    }
    return &it->second;
}

void end_searches_of(partition_t& partition, std::uint32_t session) {
    auto& searches = partition.state().searches;
    for (auto it = searches.begin(); it != searches.end();) {
        if (it->second.session == session) {
            partition.forget_saved_context(it->first);
            it = searches.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<const challenge_chain_t> load_challenge_chain(const std::filesystem::path& dir) {
    if (!std::filesystem::is_directory(dir)) {
        return nullptr;
    }
    auto chain = std::make_shared<challenge_chain_t>();
    chain->leaf = read_file(dir / "leaf.der");
    chain->second = read_file(dir / "8.der");
    chain->third = read_file(dir / "7.der");
    chain->leaf_key = ximora::pki::load_key(dir / "leaf.key");
    if (!chain->leaf_key || EVP_PKEY_is_a(chain->leaf_key.get(), "RSA") != 1) {
        throw std::runtime_error("not an RSA private key: " + (dir / "leaf.key").string());
    }
    return chain;
}

void register_session_commands(command_table& table) {
    table.add(ORVA_OPEN_SESSION, open_session);
    table.add(ORVA_CLOSE_SESSION, close_session);
    table.add(ORVA_CLOSE_ALL_SESSIONS,
              [](command_t& command) { return close_app_sessions(command, CLOSE_ALL_APP_ID); });
    // Clean and close access end what the application holds here; its id stays issued.
    table.add(ORVA_CLEAN_ACCESS,
              [](command_t& command) { return close_app_sessions(command, ACCESS_APP_ID); });
    table.add(ORVA_CLOSE_ACCESS,
              [](command_t& command) { return close_app_sessions(command, ACCESS_APP_ID); });
    table.add(ORVA_REQUEST_CHALLENGE, request_challenge);
    table.add(ORVA_GET_PEC, get_pec);
    table.add(ORVA_LOGIN, login);
    table.add(ORVA_LOGOUT, logout);
    table.add(ORVA_GET_SESSION_INFO, session_info);
}

}  // namespace service
