#include "service/pki_dir.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "tools/pki/pki.h"

namespace service {
namespace {

constexpr std::string_view PARTITION_PREFIX = "partition-";
constexpr std::string_view KEY_SUFFIX = ".key";

std::optional<std::uint64_t> serial_of(const std::string& file_name) {
    std::string_view name = file_name;
    if (!name.starts_with(PARTITION_PREFIX) || !name.ends_with(KEY_SUFFIX)) {
        return std::nullopt;
    }
    name = name.substr(PARTITION_PREFIX.size(),
                       name.size() - PARTITION_PREFIX.size() - KEY_SUFFIX.size());
    std::uint64_t serial = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), serial);
    if (name.empty() || error != std::errc() || end != name.data() + name.size()) {
        return std::nullopt;
    }
    return serial;
}

std::string common_name(X509* cert) {
    X509_NAME* subject = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                       static_cast<std::size_t>(ASN1_STRING_length(data)));
}

partition_key_t load_partition(const std::filesystem::path& key_path, std::uint64_t serial) {
    auto cert_path = key_path;
    cert_path.replace_extension(".pem");
    if (!std::filesystem::exists(cert_path)) {
        throw start_error("missing certificate " + cert_path.string() + " for " +
                          key_path.string());
    }
    partition_key_t partition{serial, nullptr};
    ximora::pki::x509_ptr cert;
    try {
        partition.key = ximora::pki::load_key(key_path);
        cert = ximora::pki::load_cert(cert_path);
    } catch (const std::runtime_error& error) {
        throw start_error(error.what());
    }
    if (!crypto::is_p384_private_key(partition.key.get())) {
        throw start_error("not an EC P-384 private key: " + key_path.string());
    }
    if (X509_check_private_key(cert.get(), partition.key.get()) != 1) {
        throw start_error(key_path.string() + " does not match " + cert_path.string());
    }
    if (common_name(cert.get()) != std::to_string(serial)) {
        throw start_error("the common name of " + cert_path.string() + " is not " +
                          std::to_string(serial));
    }
    return partition;
}

void require_file(const std::filesystem::path& path) {
    if (!std::filesystem::is_regular_file(path)) {
        throw start_error("missing file " + path.string());
    }
}

}  // namespace

pki_material_t load_pki_dir(const std::filesystem::path& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) {
        throw start_error("no such PKI directory: " + dir.string());
    }
    pki_material_t material;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (auto serial = serial_of(entry.path().filename().string())) {
            material.partitions.push_back(load_partition(entry.path(), *serial));
        }
    }
    if (error) {
        throw start_error("cannot read " + dir.string() + ": " + error.message());
    }
    if (material.partitions.empty()) {
        throw start_error("no partition-<serial>.key in " + dir.string());
    }
    std::sort(material.partitions.begin(), material.partitions.end(),
              [](const auto& a, const auto& b) { return a.serial < b.serial; });
    material.tls_certificate = dir / "tls" / "server.pem";
    material.tls_key = dir / "tls" / "server.key";
    require_file(material.tls_certificate);
    require_file(material.tls_key);
    return material;
}

}  // namespace service
