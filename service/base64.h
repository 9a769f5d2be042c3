#pragma once
// Base64 for the OAuth stand-in: the standard alphabet with padding (Basic credentials) and
// the URL-safe alphabet without padding (token parts). Decoding is strict: nullopt for any
// character outside the alphabet or a wrong length.

#include <optional>
#include <string>
#include <string_view>

namespace service {

std::string base64_encode(std::string_view data);
std::optional<std::string> base64_decode(std::string_view text);
std::string base64url_encode(std::string_view data);
std::optional<std::string> base64url_decode(std::string_view text);

}  // namespace service
