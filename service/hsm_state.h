#pragma once
// What the session and object families of the emulated HSM keep per partition, the codes and
// results they speak, and the challenge chain that login answers are encrypted under.

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "service/codes.h"
#include "service/wire.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace service {

// Command codes of the session and object families.
constexpr std::uint32_t ORVA_LOGIN = 0x0D;
constexpr std::uint32_t ORVA_GET_OBJECT_SIZE = 0x12;
constexpr std::uint32_t ORVA_GET_ATTRIBUTE_VALUE = 0x13;
constexpr std::uint32_t ORVA_GET_ATTRIBUTE_SIZE = 0x14;
constexpr std::uint32_t ORVA_GET_SESSION_INFO = 0x27;
constexpr std::uint32_t ORVA_CLEAN_ACCESS = 0x29;
constexpr std::uint32_t ORVA_CLOSE_ACCESS = 0x2A;
constexpr std::uint32_t ORVA_REQUEST_CHALLENGE = 0x86;
constexpr std::uint32_t ORVA_GET_OUID = 0x9D;
constexpr std::uint32_t ORVA_FIND_OBJECTS_INIT = 0xF2;
constexpr std::uint32_t ORVA_FIND_OBJECTS_UPDATE = 0xF3;
constexpr std::uint32_t ORVA_FIND_OBJECTS_FINAL = 0xF4;
constexpr std::uint32_t ORVA_GET_PEC = 0x10C;

// Their result words.
constexpr std::uint32_t ORVA_RET_ATTRIBUTE_TYPE_INVALID = 0x120000;
constexpr std::uint32_t ORVA_RET_CHALLENGE_TYPE_INVALID = 0x200B00;
constexpr std::uint32_t ORVA_RET_MAX_OBJECT_COUNT = 0x820001;
constexpr std::uint32_t ORVA_RET_MAX_SESSION_COUNT = 0x820003;
constexpr std::uint32_t ORVA_RET_OBJECT_HANDLE_INVALID = 0x820000;
constexpr std::uint32_t ORVA_RET_UM_PIN_INCORRECT = 0xA00000;
constexpr std::uint32_t ORVA_RET_SM_SESSION_HANDLE_INVALID = 0xB30000;
constexpr std::uint32_t ORVA_RET_TEMPLATE_INCOMPLETE = 0xD00000;
constexpr std::uint32_t ORVA_RET_TEMPLATE_INCONSISTENT = 0xD10000;
constexpr std::uint32_t ORVA_RET_USER_ALREADY_LOGGED_IN = 0x1000000;
constexpr std::uint32_t ORVA_RET_USER_NOT_LOGGED_IN = 0x1010000;
constexpr std::uint32_t ORVA_RET_SM_ACCESS_ID_INVALID = 0x80000400;

/// The PIN every partition accepts unless the options say otherwise.
inline constexpr char DEFAULT_USER_PIN[] = "userpin";
/// The attribute under which an object's unique id can be read and searched.
constexpr std::uint32_t OUID_ATTRIBUTE = 0x80000005;
constexpr std::size_t OUID_SIZE = 12;

/// The challenge chain of `ximora-pki mint` (pec-chain/): the leaf and the two certificates
/// above it as DER, and the leaf's RSA key that opens login answers.
struct challenge_chain_t {
    bytes leaf;
    bytes second;
    bytes third;
    std::shared_ptr<EVP_PKEY> leaf_key;
};

/// The chain under `dir` (leaf.der, 8.der, 7.der, leaf.key); nullptr when the directory does
/// not exist. Throws std::runtime_error naming a missing or unusable file.
std::shared_ptr<const challenge_chain_t> load_challenge_chain(const std::filesystem::path& dir);

struct session_record_t {
    std::array<std::uint8_t, APP_ID_SIZE> app{};
    std::uint32_t container = 0;
    std::uint32_t flags = 0;
    bool logged_in = false;
    std::uint32_t user = 0;
    std::uint32_t challenges_issued = 0;
    bytes challenge;  // the outstanding one; empty when none
};

struct attribute_t {
    std::uint32_t type = 0;
    bytes value;
    bool operator==(const attribute_t&) const = default;
};

struct object_record_t {
    std::vector<attribute_t> attributes;  // no two of one type; never the unique id
    std::array<std::uint8_t, OUID_SIZE> ouid{};
};

struct search_record_t {
    std::uint32_t session = 0;
    std::vector<std::uint32_t> handles;  // matches when the search began, ascending
    std::size_t next = 0;
};

/// The sessions, objects and searches of one partition.
struct hsm_state_t {
    std::map<std::uint32_t, session_record_t> sessions;
    std::map<std::uint32_t, object_record_t> objects;
    std::uint32_t next_object = 1;
    std::uint64_t objects_made = 0;  // feeds unique ids, never reused
    std::map<std::array<std::uint8_t, 16>, search_record_t> searches;
};

}  // namespace service
