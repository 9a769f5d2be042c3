#include "rest/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

constexpr std::size_t BLOCK_BYTES = 3;
constexpr std::size_t BLOCK_CHARS = 4;
constexpr std::size_t MAX_PADDING = 2;
constexpr char PAD = '=';
// The EVP block functions take int lengths, so long inputs go through in whole blocks.
constexpr std::size_t BLOCKS_PER_CHUNK = 4096;
constexpr std::size_t CHUNK_BYTES = BLOCKS_PER_CHUNK * BLOCK_BYTES;
constexpr std::size_t CHUNK_CHARS = BLOCKS_PER_CHUNK * BLOCK_CHARS;
// Bits of the last data character that carry no data, by the number of padding characters.
constexpr unsigned UNUSED_BITS_MASK[MAX_PADDING + 1] = {0x0, 0x3, 0xF};

// The 6-bit value of a standard-alphabet character, or -1.
int standard_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Number of padding characters when the text is canonical padded base64, else nullopt.
// EVP_DecodeBlock alone would accept white space, '=' inside the data and stray bits.
std::optional<std::size_t> check_padded(std::string_view text) {
    if (text.size() % BLOCK_CHARS != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < MAX_PADDING && padding < text.size() &&
           text[text.size() - 1 - padding] == PAD) {
        ++padding;
    }
    const std::string_view data = text.substr(0, text.size() - padding);
    if (!std::all_of(data.begin(), data.end(), [](char c) { return standard_value(c) >= 0; })) {
        return std::nullopt;
    }
    if (padding > 0 && (standard_value(data.back()) & UNUSED_BITS_MASK[padding]) != 0) {
        return std::nullopt;
    }
    return padding;
}

std::optional<std::vector<std::uint8_t>> decode_checked(std::string_view text) {
    const std::optional<std::size_t> padding = check_padded(text);
    if (!padding) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(text.size() / BLOCK_CHARS * BLOCK_BYTES);
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < text.size(); offset += CHUNK_CHARS) {
        const std::size_t length = std::min(CHUNK_CHARS, text.size() - offset);
        const int decoded = EVP_DecodeBlock(
            out.data() + written, reinterpret_cast<const unsigned char*>(text.data() + offset),
            static_cast<int>(length));
        if (decoded < 0) {
            return std::nullopt;
        }
        written += static_cast<std::size_t>(decoded);
    }
    // EVP_DecodeBlock counts each padding character as a zero byte of output.
    if (written != out.size()) {
        return std::nullopt;
    }
    out.resize(written - *padding);
    return out;
}

// Swaps between the two alphabets; '+' <-> '-' and '/' <-> '_'.
std::string translate(std::string_view text, char from62, char from63, char to62, char to63) {
    std::string out(text);
    for (char& c : out) {
        if (c == from62) {
            c = to62;
        } else if (c == from63) {
            c = to63;
        }
    }
    return out;
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> data) {
    std::string out;
    out.reserve((data.size() + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_CHARS);
    // Room for one chunk's characters and the NUL that EVP_EncodeBlock appends.
    std::vector<unsigned char> block(CHUNK_CHARS + 1);
    for (std::size_t offset = 0; offset < data.size(); offset += CHUNK_BYTES) {
        const std::size_t length = std::min(CHUNK_BYTES, data.size() - offset);
        const int encoded =
            EVP_EncodeBlock(block.data(), data.data() + offset, static_cast<int>(length));
        out.append(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(encoded));
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    return decode_checked(text);
}

std::string base64url_encode(std::span<const std::uint8_t> data) {
    std::string out = translate(base64_encode(data), '+', '/', '-', '_');
    out.erase(out.find_last_not_of(PAD) + 1);
    return out;
}

std::optional<std::vector<std::uint8_t>> base64url_decode(std::string_view text) {
    // The standard alphabet's '+' and '/' would pass after translation, so reject them first.
    if (text.find_first_of("+/") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string padded = translate(text, '-', '_', '+', '/');
    const bool already_padded = !padded.empty() && padded.back() == PAD;
    if (!already_padded) {
        padded.append((BLOCK_CHARS - padded.size() % BLOCK_CHARS) % BLOCK_CHARS, PAD);
    }
    return decode_checked(padded);
}
