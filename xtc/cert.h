#pragma once
// Partition certificates: reading, chain verification against the built-in root, identities.
// OpenSSL types are only forward-declared here; include <openssl/x509.h> where they are used.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct stack_st_X509 STACK_OF_X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace xtc {

using cert_handle = std::shared_ptr<X509>;
using cert_stack_handle = std::shared_ptr<STACK_OF_X509>;
using pkey_handle = std::shared_ptr<EVP_PKEY>;

/// Function codes each depth of a chain must carry, leaf first.
using chain_rule = std::vector<std::uint8_t>;
extern const chain_rule XTC_CHAIN;  // 122, 127, 8, 7, 1
extern const chain_rule PEC_CHAIN;  // 32, 8, 7, 1

cert_handle read_cert(const std::string& path);
cert_handle read_cert(const std::vector<std::uint8_t>& der);
cert_stack_handle read_certs(const std::string& path);
cert_stack_handle read_certs(const std::vector<std::vector<std::uint8_t>>& ders);

/// Verifies `cert` under `rule` with `intermediates` as untrusted certificates; its key or null.
pkey_handle get_cert_key(const chain_rule& rule, const cert_handle& cert,
                         const cert_stack_handle& intermediates);

std::optional<std::uint64_t> get_partition_id(const cert_handle& cert);
std::optional<std::string> get_domain_id(const cert_handle& cert);

}  // namespace xtc
