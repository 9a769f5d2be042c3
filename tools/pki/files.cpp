// Reading and writing certificates and keys, and the layout of a minted deployment.
#include "tools/pki/pki.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdexcept>

namespace ximora::pki {
namespace {

struct bio_deleter {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
using bio_ptr = std::unique_ptr<BIO, bio_deleter>;

constexpr mode_t PRIVATE_FILE_MODE = 0600;

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::runtime_error("ximora-pki: " + what + " " + path.string());
}

bio_ptr open_file(const std::filesystem::path& path, const char* mode) {
    bio_ptr bio(BIO_new_file(path.c_str(), mode));
    if (!bio) {
        fail("cannot open", path);
    }
    return bio;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, size > 0 ? static_cast<std::size_t>(size) : 0);
}

// The CA file's certificates in file order; the first one names the domain.
std::vector<cert_spec_t> ca_specs(const deployment_options_t& options) {
    std::vector<cert_spec_t> profiles;
    for (std::uint8_t code : options.ca_codes) {
        auto name = profiles.empty() ? options.domain
                                  : "Ximora Partition CA " + std::to_string(profiles.size()) +
                                        " code " + std::to_string(code);
        auto profile = ca_spec(code, std::move(name), options.pen);
        profile.ca = options.ca_marking;
        profile.validity = options.ca_validity;
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

}  // namespace

std::vector<std::uint8_t> to_der(const x509_ptr& cert) {
    const int size = i2d_X509(cert.get(), nullptr);
    if (size <= 0) {
        throw std::runtime_error("ximora-pki: cannot encode certificate");
    }
    std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    i2d_X509(cert.get(), &out);
    return der;
}

std::string to_pem(const x509_ptr& cert) {
    bio_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        throw std::runtime_error("ximora-pki: cannot encode certificate");
    }
    return bio_text(bio.get());
}

void write_cert_pem(const std::filesystem::path& path, const std::vector<x509_ptr>& certs) {
    auto bio = open_file(path, "w");
    for (const auto& cert : certs) {
        if (PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
            fail("cannot write", path);
        }
    }
}

void write_cert_der(const std::filesystem::path& path, const x509_ptr& cert) {
    auto bio = open_file(path, "wb");
    if (i2d_X509_bio(bio.get(), cert.get()) != 1) {
        fail("cannot write", path);
    }
}

void write_key_pem(const std::filesystem::path& path, const pkey_ptr& key) {
    // Created private from the start so the key is never readable by others.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, PRIVATE_FILE_MODE);
    if (fd < 0) {
        fail("cannot open", path);
    }
    ::fchmod(fd, PRIVATE_FILE_MODE);
    bio_ptr bio(BIO_new_fd(fd, BIO_CLOSE));
    if (!bio) {
        ::close(fd);
        fail("cannot open", path);
    }
    if (PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
        1) {
        fail("cannot write", path);
    }
}

x509_ptr load_cert(const std::filesystem::path& pem_path) {
    auto bio = open_file(pem_path, "r");
    X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (cert == nullptr) {
        fail("no certificate in", pem_path);
    }
    return x509_ptr(cert, X509_free);
}

pkey_ptr load_key(const std::filesystem::path& pem_path) {
    auto bio = open_file(pem_path, "r");
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (key == nullptr) {
        fail("no private key in", pem_path);
    }
    return pkey_ptr(key, EVP_PKEY_free);
}

void write_root(const std::filesystem::path& dir, const issued_t& root) {
    std::filesystem::create_directories(dir);
    write_key_pem(dir / "root.key", root.key);
    write_cert_pem(dir / "root.pem", {root.cert});
    // Written last: the build treats root.der as the mark of a complete root directory.
    write_cert_der(dir / "root.der", root.cert);
}

issued_t load_root(const std::filesystem::path& dir) {
    issued_t root{load_cert(dir / "root.pem"), load_key(dir / "root.key")};
    if (X509_check_private_key(root.cert.get(), root.key.get()) != 1) {
        fail("root.key does not match root.pem in", dir);
    }
    return root;
}

void mint_deployment(const issued_t& root, const std::filesystem::path& out,
                     const deployment_options_t& options) {
    std::filesystem::create_directories(out / "pec-chain");
    std::filesystem::create_directories(out / "tls");

    const auto cas = issue_chain(root, ca_specs(options));
    std::vector<x509_ptr> ca_file;
    for (const auto& ca : cas) {
        ca_file.push_back(ca.cert);
    }
    write_cert_pem(out / "ca.pem", ca_file);
    const issued_t& partition_issuer = cas.empty() ? root : cas.front();
    for (std::uint64_t serial : options.partitions) {
        auto profile = partition_spec(serial, options.pen);
        profile.function = options.partition_code;
        profile.validity = options.partition_validity;
        const auto partition = issue(partition_issuer, profile);
        const std::string base = "partition-" + std::to_string(serial);
        write_cert_pem(out / (base + ".pem"), {partition.cert});
        write_key_pem(out / (base + ".key"), partition.key);
    }

    const auto pec = mint_challenge_chain(root, options.pen);
    write_cert_der(out / "pec-chain" / "leaf.der", pec[0].cert);
    write_cert_der(out / "pec-chain" / "8.der", pec[1].cert);
    write_cert_der(out / "pec-chain" / "7.der", pec[2].cert);
    write_key_pem(out / "pec-chain" / "leaf.key", pec[0].key);

    const auto tls = mint_tls_server();
    write_cert_pem(out / "tls" / "server.pem", {tls.server.cert});
    write_key_pem(out / "tls" / "server.key", tls.server.key);
    write_cert_pem(out / "tls" / "ca-bundle.pem", {tls.ca.cert});
}

}  // namespace ximora::pki
