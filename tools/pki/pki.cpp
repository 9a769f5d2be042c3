#include "tools/pki/pki.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#ifndef XIMORA_CERT_FUNCTION_PEN
#error "XIMORA_CERT_FUNCTION_PEN must be defined by the build"
#endif

namespace ximora::pki {
namespace {

struct x509_ext_deleter {
    void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
struct pkey_ctx_deleter {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct octet_deleter {
    void operator()(ASN1_OCTET_STRING* s) const { ASN1_OCTET_STRING_free(s); }
};
struct object_deleter {
    void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};
struct bn_deleter {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using ext_ptr = std::unique_ptr<X509_EXTENSION, x509_ext_deleter>;

// Base-128 arc 1.3.6.1.4.1 followed by the two enterprise bytes and the ".1" arc.
constexpr std::uint8_t FUNCTION_PREFIX[] = {0x30, 0x0B, 0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01};
constexpr unsigned PEN_MIN = 128;
constexpr unsigned PEN_MAX = 16383;
constexpr unsigned BASE128_BITS = 7;
constexpr std::uint8_t BASE128_MORE = 0x80;
constexpr std::uint8_t BASE128_MASK = 0x7F;
constexpr int SERIAL_BITS = 63;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("ximora-pki: " + what);
}

unsigned resolve_pen(unsigned pen) {
    return pen == 0 ? default_pen() : pen;
}

x509_ptr wrap(X509* cert) {
    if (cert == nullptr) {
        fail("out of memory");
    }
    return x509_ptr(cert, X509_free);
}

ext_ptr make_ext(X509V3_CTX* ctx, int nid, const char* value) {
    ext_ptr ext(X509V3_EXT_nconf_nid(nullptr, ctx, nid, value));
    if (!ext) {
        fail(std::string("cannot build extension ") + OBJ_nid2sn(nid) + "=" + value);
    }
    return ext;
}

void add_ext(X509* cert, const ext_ptr& ext) {
    if (X509_add_ext(cert, ext.get(), -1) != 1) {
        fail("cannot add extension");
    }
}

ext_ptr function_ext(const cert_spec_t& profile) {
    const unsigned pen = resolve_pen(profile.pen);
    const auto value = function_extension_value(pen, *profile.function);
    std::unique_ptr<ASN1_OCTET_STRING, octet_deleter> octets(ASN1_OCTET_STRING_new());
    if (!octets ||
        ASN1_OCTET_STRING_set(octets.get(), value.data(), static_cast<int>(value.size())) != 1) {
        fail("out of memory");
    }
    std::unique_ptr<ASN1_OBJECT, object_deleter> oid;
    if (profile.place == function_place::extended_key_usage) {
        oid.reset(OBJ_dup(OBJ_nid2obj(NID_ext_key_usage)));
    } else {
        const std::string text = "1.3.6.1.4.1." + std::to_string(pen) + ".2";
        oid.reset(OBJ_txt2obj(text.c_str(), 1));
    }
    ext_ptr ext(oid ? X509_EXTENSION_create_by_OBJ(nullptr, oid.get(),
                                                   profile.function_critical ? 1 : 0, octets.get())
                    : nullptr);
    if (!ext) {
        fail("cannot build function extension");
    }
    return ext;
}

void set_subject(X509* cert, const cert_spec_t& profile) {
    X509_NAME* name = X509_get_subject_name(cert);
    const auto* org = reinterpret_cast<const unsigned char*>("Ximora");
    bool ok =
        X509_NAME_add_entry_by_NID(name, NID_organizationName, MBSTRING_UTF8, org, -1, -1, 0) == 1;
    if (ok && profile.common_name) {
        // A string type rather than MBSTRING_*: size limits must not stop odd test names
        // such as an empty CN.
        const auto* cn = reinterpret_cast<const unsigned char*>(profile.common_name->data());
        ok = X509_NAME_add_entry_by_NID(name, NID_commonName, V_ASN1_UTF8STRING, cn,
                                        static_cast<int>(profile.common_name->size()), -1, 0) == 1;
    }
    if (!ok) {
        fail("cannot set subject name");
    }
}

void set_validity(X509* cert, const window_t& window) {
    auto adjust = [](ASN1_TIME* t, std::int64_t offset) {
        return X509_time_adj_ex(t, static_cast<int>(offset / DAY), static_cast<long>(offset % DAY),
                                nullptr);
    };
    if (adjust(X509_getm_notBefore(cert), window.not_before) == nullptr ||
        adjust(X509_getm_notAfter(cert), window.not_after) == nullptr) {
        fail("cannot set validity");
    }
}

void set_random_serial(X509* cert) {
    std::unique_ptr<BIGNUM, bn_deleter> bn(BN_new());
    if (!bn || BN_rand(bn.get(), SERIAL_BITS, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) == nullptr) {
        fail("cannot set serial number");
    }
}

void add_extensions(X509* cert, X509* issuer, const cert_spec_t& profile) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    if (profile.ca) {
        add_ext(cert, make_ext(&ctx, NID_basic_constraints, "critical,CA:TRUE"));
        add_ext(cert,
                make_ext(&ctx, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature"));
    }
    add_ext(cert, make_ext(&ctx, NID_subject_key_identifier, "hash"));
    if (issuer != cert) {
        add_ext(cert, make_ext(&ctx, NID_authority_key_identifier, "keyid:always"));
    }
    if (!profile.subject_alt_names.empty()) {
        std::string sans;
        for (const auto& san : profile.subject_alt_names) {
            sans += (sans.empty() ? "" : ",") + san;
        }
        add_ext(cert, make_ext(&ctx, NID_subject_alt_name, sans.c_str()));
    }
    if (profile.server_auth) {
        if (profile.function && profile.place == function_place::extended_key_usage) {
            fail("serverAuth and a function code cannot share the extended key usage");
        }
        add_ext(cert, make_ext(&ctx, NID_ext_key_usage, "serverAuth"));
    }
    if (profile.function) {
        add_ext(cert, function_ext(profile));
    }
}

const EVP_MD* digest_of(digest_t digest) {
    return digest == digest_t::sha1 ? EVP_sha1() : EVP_sha256();
}

// Fills and signs `cert`; `issuer` is null for a self-signed certificate.
issued_t build(const issued_t* issuer, const cert_spec_t& profile) {
    issued_t out{wrap(X509_new()), generate_key(profile.key)};
    X509* cert = out.cert.get();
    X509* issuer_cert = issuer != nullptr ? issuer->cert.get() : cert;
    EVP_PKEY* signing_key = issuer != nullptr ? issuer->key.get() : out.key.get();
    if (X509_set_version(cert, X509_VERSION_3) != 1 || X509_set_pubkey(cert, out.key.get()) != 1) {
        fail("cannot set version or key");
    }
    set_random_serial(cert);
    set_subject(cert, profile);
    if (X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert)) != 1) {
        fail("cannot set issuer name");
    }
    set_validity(cert, profile.validity);
    add_extensions(cert, issuer_cert, profile);
    if (X509_sign(cert, signing_key, digest_of(profile.digest)) <= 0) {
        fail("cannot sign certificate");
    }
    return out;
}

}  // namespace

unsigned default_pen() {
    return XIMORA_CERT_FUNCTION_PEN;
}

void check_pen(unsigned pen) {
    if (pen < PEN_MIN || pen > PEN_MAX) {
        fail("enterprise number " + std::to_string(pen) + " is outside 128..16383");
    }
}

std::vector<std::uint8_t> function_extension_value(unsigned pen, std::uint8_t code) {
    check_pen(pen);
    std::vector<std::uint8_t> value(std::begin(FUNCTION_PREFIX), std::end(FUNCTION_PREFIX));
    value.push_back(static_cast<std::uint8_t>(BASE128_MORE | (pen >> BASE128_BITS)));
    value.push_back(static_cast<std::uint8_t>(pen & BASE128_MASK));
    value.push_back(0x01);
    value.push_back(code);
    return value;
}

pkey_ptr generate_key(const key_spec_t& profile) {
    EVP_PKEY* key = nullptr;
    if (profile.algo == key_spec_t::algorithm::ec) {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", profile.curve.c_str());
    } else {
        std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_deleter> ctx(
            EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        unsigned bits = profile.rsa_bits;
        unsigned exponent = profile.rsa_exponent;
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_BITS, &bits),
                                     OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
                                     OSSL_PARAM_construct_end()};
        if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 ||
            EVP_PKEY_generate(ctx.get(), &key) != 1) {
            key = nullptr;
        }
    }
    if (key == nullptr) {
        fail("key generation failed");
    }
    return pkey_ptr(key, EVP_PKEY_free);
}

issued_t self_signed(const cert_spec_t& profile) {
    return build(nullptr, profile);
}

issued_t issue(const issued_t& issuer, const cert_spec_t& profile) {
    return build(&issuer, profile);
}

std::vector<issued_t> issue_chain(const issued_t& anchor, const std::vector<cert_spec_t>& profiles) {
    std::vector<issued_t> chain(profiles.size());
    const issued_t* signer = &anchor;
    for (std::size_t i = profiles.size(); i-- > 0;) {
        chain[i] = issue(*signer, profiles[i]);
        signer = &chain[i];
    }
    return chain;
}

cert_spec_t root_spec(unsigned pen) {
    cert_spec_t profile;
    profile.common_name = "Ximora Development Root";
    profile.function = FUNCTION_ROOT;
    profile.function_critical = true;
    profile.validity = ROOT_VALIDITY;
    profile.key = EC_P384;
    profile.pen = pen;
    return profile;
}

cert_spec_t ca_spec(std::uint8_t code, std::string common_name, unsigned pen) {
    cert_spec_t profile;
    profile.common_name = std::move(common_name);
    profile.function = code;
    profile.pen = pen;
    return profile;
}

cert_spec_t partition_spec(std::uint64_t serial, unsigned pen) {
    cert_spec_t profile;
    profile.common_name = std::to_string(serial);
    profile.function = FUNCTION_PARTITION;
    profile.ca = false;
    profile.key = EC_P384;
    profile.pen = pen;
    return profile;
}

cert_spec_t challenge_leaf_spec(unsigned pen) {
    cert_spec_t profile;
    profile.common_name = "Ximora challenge";
    profile.function = FUNCTION_CHALLENGE;
    profile.ca = false;
    profile.key = RSA_2048;
    profile.pen = pen;
    return profile;
}

std::vector<issued_t> mint_partition_cas(const issued_t& root, const std::string& domain,
                                         unsigned pen) {
    return issue_chain(root, {ca_spec(FUNCTION_CA_127, domain, pen),
                              ca_spec(FUNCTION_CA_8, "Ximora Partition CA 8", pen),
                              ca_spec(FUNCTION_CA_7, "Ximora Partition CA 7", pen)});
}

std::vector<issued_t> mint_challenge_chain(const issued_t& root, unsigned pen) {
    return issue_chain(
        root, {challenge_leaf_spec(pen), ca_spec(FUNCTION_CA_8, "Ximora Challenge CA 8", pen),
               ca_spec(FUNCTION_CA_7, "Ximora Challenge CA 7", pen)});
}

tls_bundle_t mint_tls_server() {
    cert_spec_t ca;
    ca.common_name = "Ximora Test TLS CA";
    tls_bundle_t bundle;
    bundle.ca = self_signed(ca);
    cert_spec_t server;
    server.common_name = "localhost";
    server.ca = false;
    server.key = RSA_2048;
    server.subject_alt_names = {"IP:127.0.0.1", "DNS:localhost"};
    server.server_auth = true;
    bundle.server = issue(bundle.ca, server);
    return bundle;
}

}  // namespace ximora::pki
