#include "service/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace service {
namespace {

constexpr std::size_t GROUP_TEXT = 4;
constexpr std::size_t GROUP_DATA = 3;

bool in_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string base64_encode(std::string_view data) {
    if (data.empty()) {
        return {};
    }
    std::vector<unsigned char> out((data.size() + GROUP_DATA - 1) / GROUP_DATA * GROUP_TEXT + 1);
    const int length =
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
    return std::string(out.begin(), out.begin() + std::max(length, 0));
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % GROUP_TEXT != 0 || text.size() > INT_MAX) {
        return std::nullopt;
    }
    const auto padding = static_cast<std::size_t>(
        std::find_if(text.rbegin(), text.rend(), [](char c) { return c != '='; }) - text.rbegin());
    if (padding > 2 || !std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding),
                                    in_alphabet)) {
        return std::nullopt;
    }
    if (text.empty()) {
        return std::string();
    }
    std::vector<unsigned char> out(text.size() / GROUP_TEXT * GROUP_DATA);
    const int length =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    if (length < 0 || static_cast<std::size_t>(length) < padding) {
        return std::nullopt;
    }
    return std::string(out.begin(), out.begin() + (length - static_cast<int>(padding)));
}

std::string base64url_encode(std::string_view data) {
    auto text = base64_encode(data);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<std::string> base64url_decode(std::string_view text) {
    if (text.find_first_of("+/=") != std::string_view::npos || text.size() % GROUP_TEXT == 1) {
        return std::nullopt;
    }
    std::string standard(text);
    std::replace(standard.begin(), standard.end(), '-', '+');
    std::replace(standard.begin(), standard.end(), '_', '/');
    standard.append((GROUP_TEXT - standard.size() % GROUP_TEXT) % GROUP_TEXT, '=');
    return base64_decode(standard);
}

}  // namespace service
