#pragma once
// Base64 in the two forms the transport needs: the standard padded alphabet (HTTP Basic
// credentials) and unpadded base64url (hashed identifiers, token payloads).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// Standard alphabet, padded with '=' to a multiple of four characters.
std::string base64_encode(std::span<const std::uint8_t> data);

/// Padded standard base64 only. Anything else (white space, the url alphabet, missing or
/// misplaced padding, non-zero unused bits) gives nullopt.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

/// The url alphabet ('-' and '_' for '+' and '/'), without padding.
std::string base64url_encode(std::span<const std::uint8_t> data);

/// The url alphabet, unpadded or correctly padded; anything else gives nullopt.
std::optional<std::vector<std::uint8_t>> base64url_decode(std::string_view text);
