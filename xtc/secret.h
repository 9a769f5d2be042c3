#pragma once
// Holders that overwrite key material with zeros when they go out of scope, on every path.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "xtc/crypto.h"

namespace xtc {

/// A fixed-size secret, zeroed on construction and wiped on destruction.
template <std::size_t N>
class secret_array {
  public:
    secret_array() = default;
    ~secret_array() { cleanse(bytes_); }
    secret_array(const secret_array&) = delete;
    secret_array& operator=(const secret_array&) = delete;

    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    static constexpr std::size_t size() { return N; }
    std::span<std::uint8_t, N> span() { return bytes_; }
    std::span<const std::uint8_t, N> span() const { return bytes_; }

  private:
    std::array<std::uint8_t, N> bytes_{};
};

/// Wipes a buffer it does not own when the scope ends.
class scoped_wipe {
  public:
    explicit scoped_wipe(std::span<std::uint8_t> bytes) : bytes_(bytes) {}
    ~scoped_wipe() { cleanse(bytes_); }
    scoped_wipe(const scoped_wipe&) = delete;
    scoped_wipe& operator=(const scoped_wipe&) = delete;

  private:
    std::span<std::uint8_t> bytes_;
};

/// Wipes whatever a vector holds when the scope ends. It refers to the vector rather than to
/// its bytes because the transport replaces a response vector's contents with the reply body.
class buffer_wipe {
  public:
    explicit buffer_wipe(std::vector<std::uint8_t>& buffer) : buffer_(buffer) {}
    ~buffer_wipe() { cleanse(buffer_); }
    buffer_wipe(const buffer_wipe&) = delete;
    buffer_wipe& operator=(const buffer_wipe&) = delete;

  private:
    std::vector<std::uint8_t>& buffer_;
};

}  // namespace xtc
