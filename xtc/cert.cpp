#include "xtc/cert.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <array>
#include <climits>

#include "config/XmConfiguration.h"

#ifndef XIMORA_CERT_FUNCTION_PEN
#error "XIMORA_CERT_FUNCTION_PEN must be defined by the build"
#endif

namespace xtc {

namespace {

constexpr std::uint8_t code(CertificateFunction function) {
    return static_cast<std::uint8_t>(function);  // the low byte
}

}  // namespace

const chain_rule XTC_CHAIN{code(CertificateFunction::PARTITION), code(CertificateFunction::CA_127),
                           code(CertificateFunction::CA_8), code(CertificateFunction::CA_7),
                           code(CertificateFunction::ROOT)};
const chain_rule PEC_CHAIN{code(CertificateFunction::CHALLENGE), code(CertificateFunction::CA_8),
                           code(CertificateFunction::CA_7), code(CertificateFunction::ROOT)};

namespace {

constexpr unsigned CERT_FUNCTION_PEN = XIMORA_CERT_FUNCTION_PEN;
// The extension value holds the enterprise number in exactly two base-128 bytes.
static_assert(CERT_FUNCTION_PEN >= 128 && CERT_FUNCTION_PEN <= 16383);

constexpr unsigned BASE128_BITS = 7;
constexpr std::uint8_t BASE128_MORE = 0x80;
constexpr std::uint8_t BASE128_MASK = 0x7F;

constexpr auto PEN_HIGH =
    static_cast<std::uint8_t>(BASE128_MORE | (CERT_FUNCTION_PEN >> BASE128_BITS));
constexpr auto PEN_LOW = static_cast<std::uint8_t>(BASE128_MASK & CERT_FUNCTION_PEN);

// SEQUENCE { OID 1.3.6.1.4.1.<pen>.1.<function> } without the function byte.
constexpr std::array<std::uint8_t, 12> cert_fun_oid{0x30, 0x0B, 0x06, 0x09,     0x2B,    0x06,
                                                    0x01, 0x04, 0x01, PEN_HIGH, PEN_LOW, 0x01};
constexpr std::size_t FUNCTION_VALUE_SIZE = cert_fun_oid.size() + 1;
constexpr std::size_t FUNCTION_CODE_OFFSET = cert_fun_oid.size();

// Longer names cannot be a 64-bit serial number anyway; the cut keeps conversion bounded.
constexpr std::size_t PARTITION_ID_MAX_CHARS = 20;

struct bio_deleter {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
struct store_deleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct store_ctx_deleter {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct x509_deleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct openssl_free_deleter {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using bio_ptr = std::unique_ptr<BIO, bio_deleter>;
using store_ptr = std::unique_ptr<X509_STORE, store_deleter>;
using store_ctx_ptr = std::unique_ptr<X509_STORE_CTX, store_ctx_deleter>;
using x509_ptr = std::unique_ptr<X509, x509_deleter>;

void free_x509_stack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}

cert_stack_handle new_stack() {
    STACK_OF(X509)* stack = sk_X509_new_null();
    if (stack == nullptr) {
        return {};
    }
    return cert_stack_handle(stack, free_x509_stack);
}

X509* decode_der(const std::vector<std::uint8_t>& der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return nullptr;
    }
    const unsigned char* cursor = der.data();
    return d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
}

// Takes ownership of `cert` whatever happens.
bool push(const cert_stack_handle& stack, X509* cert) {
    if (sk_X509_push(stack.get(), cert) <= 0) {
        X509_free(cert);
        return false;
    }
    return true;
}

bool is_end_of_pem_input(unsigned long error) {
    return ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
}

bool validate_certificate_function(X509* cert, std::uint8_t code) {
    const int count = X509_get_ext_count(cert);
    for (int i = 0; i < count; ++i) {
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(cert, i));
        if (value == nullptr ||
            ASN1_STRING_length(value) != static_cast<int>(FUNCTION_VALUE_SIZE)) {
            continue;
        }
        const unsigned char* bytes = ASN1_STRING_get0_data(value);
        if (std::equal(cert_fun_oid.begin(), cert_fun_oid.end(), bytes)) {
            return bytes[FUNCTION_CODE_OFFSET] == code;
        }
    }
    return false;
}

// The function code of the certificate's chain position takes the place of the usual CA
// marking, and an expired certificate is still good enough to authenticate a partition.
int verify_callback(int ok, X509_STORE_CTX* ctx) {
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    const auto* rule = static_cast<const chain_rule*>(X509_STORE_CTX_get_app_data(ctx));
    if (cert == nullptr || rule == nullptr || rule->empty()) {
        return 0;
    }
    const int depth = X509_STORE_CTX_get_error_depth(ctx);
    const bool function_fits =
        depth >= 0 && static_cast<std::size_t>(depth) < rule->size() &&
        validate_certificate_function(cert, (*rule)[static_cast<std::size_t>(depth)]);
    if (ok != 0) {
        if (function_fits) {
            return 1;
        }
        X509_STORE_CTX_set_error(ctx, X509_V_ERR_INVALID_CA);
        return 0;
    }
    switch (X509_STORE_CTX_get_error(ctx)) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        case X509_V_ERR_INVALID_CA:
            if (function_fits) {
                X509_STORE_CTX_set_error(ctx, X509_V_OK);
                return 1;
            }
            return 0;
        default:
            return 0;
    }
}

// A store that trusts `root_der` and nothing else: the system's trust settings never apply.
store_ptr make_store(std::span<const std::uint8_t> root_der) {
    if (root_der.empty() || root_der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return {};
    }
    const unsigned char* cursor = root_der.data();
    x509_ptr root(d2i_X509(nullptr, &cursor, static_cast<long>(root_der.size())));
    store_ptr store(X509_STORE_new());
    if (!root || !store || X509_STORE_add_cert(store.get(), root.get()) != 1) {
        return {};
    }
    return store;
}

const ASN1_STRING* first_common_name(const cert_handle& cert) {
    if (!cert) {
        return nullptr;
    }
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    if (subject == nullptr) {
        return nullptr;
    }
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
        return nullptr;
    }
    return X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
}

}  // namespace

cert_handle read_cert(const std::string& path) {
    bio_ptr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        return {};
    }
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert == nullptr) {
        return {};
    }
    return cert_handle(cert, X509_free);
}

cert_handle read_cert(const std::vector<std::uint8_t>& der) {
    X509* cert = decode_der(der);
    if (cert == nullptr) {
        return {};
    }
    return cert_handle(cert, X509_free);
}

cert_stack_handle read_certs(const std::string& path) {
    bio_ptr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        return {};
    }
    auto stack = new_stack();
    if (!stack) {
        return {};
    }
    ERR_set_mark();
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (!push(stack, cert)) {
            ERR_clear_last_mark();
            return {};
        }
    }
    // Running out of PEM blocks is how every file ends, not an error worth leaving queued
    // for whoever uses OpenSSL next on this thread; a block that failed to decode is.
    if (is_end_of_pem_input(ERR_peek_last_error())) {
        ERR_pop_to_mark();
    } else {
        ERR_clear_last_mark();
    }
    return stack;
}

cert_stack_handle read_certs(const std::vector<std::vector<std::uint8_t>>& ders) {
    auto stack = new_stack();
    if (!stack) {
        return {};
    }
    for (const auto& der : ders) {
        X509* cert = decode_der(der);
        if (cert == nullptr || !push(stack, cert)) {
            return {};
        }
    }
    return stack;
}

namespace detail {

pkey_handle get_cert_key_with_root(std::span<const std::uint8_t> root_der, const chain_rule& rule,
                                   const cert_handle& cert,
                                   const cert_stack_handle& intermediates) {
    if (!cert || !intermediates) {
        return {};
    }
    auto store = make_store(root_der);
    store_ctx_ptr ctx(X509_STORE_CTX_new());
    if (!store || !ctx ||
        X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), intermediates.get()) != 1) {
        return {};
    }
    X509_STORE_CTX_set_app_data(ctx.get(), const_cast<chain_rule*>(&rule));
    X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);
    if (X509_verify_cert(ctx.get()) != 1) {
        return {};
    }
    EVP_PKEY* key = X509_get_pubkey(cert.get());
    if (key == nullptr) {
        return {};
    }
    return pkey_handle(key, EVP_PKEY_free);
}

}  // namespace detail

pkey_handle get_cert_key(const chain_rule& rule, const cert_handle& cert,
                         const cert_stack_handle& intermediates) {
    return detail::get_cert_key_with_root(built_in_root(), rule, cert, intermediates);
}

std::optional<std::uint64_t> get_partition_id(const cert_handle& cert) {
    const ASN1_STRING* cn = first_common_name(cert);
    if (cn == nullptr || ASN1_STRING_length(cn) < 0) {
        return std::nullopt;
    }
    const auto length =
        std::min(static_cast<std::size_t>(ASN1_STRING_length(cn)), PARTITION_ID_MAX_CHARS);
    const std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(cn)), length);
    return stringToOptional<std::uint64_t>(text);
}

std::optional<std::string> get_domain_id(const cert_handle& cert) {
    const ASN1_STRING* cn = first_common_name(cert);
    if (cn == nullptr) {
        return std::nullopt;
    }
    unsigned char* raw = nullptr;
    const int length = ASN1_STRING_to_UTF8(&raw, cn);
    std::unique_ptr<unsigned char, openssl_free_deleter> utf8(raw);
    if (length < 0) {
        return std::nullopt;
    }
    if (length == 0) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(utf8.get()), static_cast<std::size_t>(length));
}

}  // namespace xtc
