#pragma once
// Minting of the certificate hierarchy the plug-in trusts: a root carrying function code 1,
// intermediates and leaves carrying the function codes of their chain position, and a plain
// TLS server certificate for a local stand-in service. Used by the ximora-pki tool, the build
// (development root) and the tests. Failures throw std::runtime_error: this is tooling, not
// code that runs inside the host.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace ximora::pki {

using x509_ptr = std::shared_ptr<X509>;
using pkey_ptr = std::shared_ptr<EVP_PKEY>;

/// Function codes carried by the certificates of the two chains the plug-in checks.
constexpr std::uint8_t FUNCTION_ROOT = 1;
constexpr std::uint8_t FUNCTION_CA_7 = 7;
constexpr std::uint8_t FUNCTION_CA_8 = 8;
constexpr std::uint8_t FUNCTION_PARTITION = 122;
constexpr std::uint8_t FUNCTION_CA_127 = 127;
constexpr std::uint8_t FUNCTION_CHALLENGE = 32;

/// The enterprise number the build was configured with (XIMORA_CERT_FUNCTION_PEN).
unsigned default_pen();
/// Throws unless `pen` encodes as exactly two base-128 bytes (128..16383).
void check_pen(unsigned pen);

/// The 13-byte value of the function extension: SEQUENCE { OID 1.3.6.1.4.1.<pen>.1.<code> }.
std::vector<std::uint8_t> function_extension_value(unsigned pen, std::uint8_t code);

struct key_spec_t {
    enum class algorithm { ec, rsa } algo = algorithm::ec;
    std::string curve = "P-384";
    unsigned rsa_bits = 2048;
    unsigned rsa_exponent = 65537;
};
inline const key_spec_t EC_P384{};
inline const key_spec_t RSA_2048{key_spec_t::algorithm::rsa, "", 2048, 65537};

/// Validity as offsets in seconds from the moment of minting.
struct window_t {
    std::int64_t not_before;
    std::int64_t not_after;
};
constexpr std::int64_t DAY = 24 * 3600;
constexpr std::int64_t YEAR = 365 * DAY;
inline constexpr window_t VALID{-DAY, 10 * YEAR};
inline constexpr window_t EXPIRED{-2 * YEAR, -DAY};
inline constexpr window_t NOT_YET_VALID{DAY, 10 * YEAR};
inline constexpr window_t ROOT_VALIDITY{-DAY, 30 * YEAR};

/// Where the function extension goes: the extended key usage (as the root has it) or an
/// extension of its own under the enterprise arc (1.3.6.1.4.1.<pen>.2).
enum class function_place { extended_key_usage, private_extension };

enum class digest_t { sha256, sha1 };

struct cert_spec_t {
    std::optional<std::string> common_name;  // none: a subject without CN
    std::optional<std::uint8_t> function;    // none: no function extension
    function_place place = function_place::extended_key_usage;
    bool function_critical = false;
    bool ca = true;  // basicConstraints CA:TRUE plus keyUsage keyCertSign; false: neither
    window_t validity = VALID;
    key_spec_t key = EC_P384;
    digest_t digest = digest_t::sha256;
    std::vector<std::string> subject_alt_names;  // e.g. "IP:127.0.0.1", "DNS:localhost"
    bool server_auth = false;                    // extended key usage serverAuth (TLS)
    unsigned pen = 0;                            // 0: default_pen()
};

struct issued_t {
    x509_ptr cert;
    pkey_ptr key;
};

pkey_ptr generate_key(const key_spec_t& profile);
issued_t self_signed(const cert_spec_t& profile);
issued_t issue(const issued_t& issuer, const cert_spec_t& profile);
/// `profiles` from the leaf side up: element i is signed by element i+1, the last by `anchor`.
std::vector<issued_t> issue_chain(const issued_t& anchor, const std::vector<cert_spec_t>& profiles);

/// Specs of the standard hierarchy.
cert_spec_t root_spec(unsigned pen = 0);
cert_spec_t ca_spec(std::uint8_t code, std::string common_name, unsigned pen = 0);
cert_spec_t partition_spec(std::uint64_t serial, unsigned pen = 0);
cert_spec_t challenge_leaf_spec(unsigned pen = 0);

/// The three CA-file certificates, 127, 8, 7 in that order; the first one's CN is `domain`.
std::vector<issued_t> mint_partition_cas(const issued_t& root, const std::string& domain,
                                         unsigned pen = 0);
/// Challenge chain: leaf (32, RSA key), then 8, then 7, signed up to `root`.
std::vector<issued_t> mint_challenge_chain(const issued_t& root, unsigned pen = 0);

/// A TLS server certificate for 127.0.0.1 and localhost under a CA of its own.
struct tls_bundle_t {
    issued_t ca;
    issued_t server;
};
tls_bundle_t mint_tls_server();

std::vector<std::uint8_t> to_der(const x509_ptr& cert);
std::string to_pem(const x509_ptr& cert);

void write_cert_pem(const std::filesystem::path& path, const std::vector<x509_ptr>& certs);
void write_cert_der(const std::filesystem::path& path, const x509_ptr& cert);
/// PKCS#8 PEM, file mode 0600.
void write_key_pem(const std::filesystem::path& path, const pkey_ptr& key);
x509_ptr load_cert(const std::filesystem::path& pem_path);
pkey_ptr load_key(const std::filesystem::path& pem_path);

/// A root directory holds root.der, root.pem and root.key.
void write_root(const std::filesystem::path& dir, const issued_t& root);
issued_t load_root(const std::filesystem::path& dir);

struct deployment_options_t {
    std::vector<std::uint64_t> partitions;
    std::string domain = "ximora-dev-domain";
    unsigned pen = 0;
    // Deviations for negative tests of a deployment; the defaults give a valid one.
    std::vector<std::uint8_t> ca_codes{FUNCTION_CA_127, FUNCTION_CA_8, FUNCTION_CA_7};
    std::uint8_t partition_code = FUNCTION_PARTITION;
    bool ca_marking = true;
    window_t ca_validity = VALID;
    window_t partition_validity = VALID;
};
/// Writes ca.pem, partition-<serial>.pem/.key, pec-chain/ and tls/ under `out`.
void mint_deployment(const issued_t& root, const std::filesystem::path& out,
                     const deployment_options_t& options);

}  // namespace ximora::pki
