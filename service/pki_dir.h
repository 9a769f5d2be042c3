#pragma once
// Reading a directory written by `ximora-pki mint`: every partition-<serial>.key with its
// certificate, and the TLS server certificate and key under tls/.

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "service/engine.h"

namespace service {

/// A reason the service cannot start; its text is meant for the operator.
struct start_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct pki_material_t {
    std::vector<partition_key_t> partitions;  // in ascending serial order
    std::filesystem::path tls_certificate;    // PEM chain, server certificate first
    std::filesystem::path tls_key;
};

/// Throws start_error naming the missing or unusable file.
pki_material_t load_pki_dir(const std::filesystem::path& dir);

}  // namespace service
