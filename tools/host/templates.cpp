#include "tools/host/templates.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace host {
namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

bool parse_quoted(std::string_view text, std::vector<std::uint8_t>& out) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            return false;  // an unescaped quote inside the string
        }
        if (c == '\\') {
            if (++i == text.size() || (text[i] != '"' && text[i] != '\\')) {
                return false;
            }
            c = text[i];
        }
        out.push_back(static_cast<std::uint8_t>(c));
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool parse_hex(std::string_view digits, std::vector<std::uint8_t>& out) {
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hex_digit(digits[i]);
        const int low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return true;
}

bool parse_value(std::string_view text, std::vector<std::uint8_t>& out) {
    if (text.starts_with('"')) {
        return parse_quoted(text, out);
    }
    if (text.starts_with("hex:")) {
        return parse_hex(text.substr(4), out);
    }
    if (text.starts_with("u32:")) {
        std::uint32_t number = 0;
        if (!parse_u32(text.substr(4), number)) {
            return false;
        }
        append_u32(out, number);
        return true;
    }
    if (text == "true" || text == "false") {
        out.push_back(text == "true" ? 1 : 0);
        return true;
    }
    return false;
}

[[noreturn]] void fail(std::size_t line, const std::string& what) {
    throw std::invalid_argument("line " + std::to_string(line) + ": " + what);
}

}  // namespace

bool parse_u32(std::string_view text, std::uint32_t& out) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    const auto* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, out, base);
    return error == std::errc{} && at == end;
}

std::vector<attribute_t> parse_template_text(std::string_view text) {
    std::vector<attribute_t> attributes;
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto split = line.find_first_of(" \t");
        if (split == std::string_view::npos) {
            fail(number, "expected a type and a value");
        }
        attribute_t attribute;
        if (!parse_u32(line.substr(0, split), attribute.type)) {
            fail(number, "the type is not a 32-bit number");
        }
        if (!parse_value(trim(line.substr(split)), attribute.value)) {
            fail(number, "the value is none of \"text\", hex:..., u32:..., true, false");
        }
        attributes.push_back(std::move(attribute));
    }
    return attributes;
}

std::vector<std::uint8_t> serialise_template(const std::vector<attribute_t>& attributes) {
    std::vector<std::uint8_t> out;
    append_u32(out, TEMPLATE_FORMAT_WORD);
    append_u32(out, static_cast<std::uint32_t>(attributes.size()));
    for (const auto& attribute : attributes) {
        append_u32(out, attribute.type);
        append_u32(out, static_cast<std::uint32_t>(attribute.value.size()));
        out.insert(out.end(), attribute.value.begin(), attribute.value.end());
    }
    return out;
}

std::string render_value(std::span<const std::uint8_t> value) {
    std::string hex;
    bool printable = !value.empty();
    for (std::uint8_t byte : value) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
        printable = printable && std::isprint(byte) != 0;
    }
    if (!printable) {
        return "hex:" + hex;
    }
    return "hex:" + hex + " \"" + std::string(value.begin(), value.end()) + "\"";
}

}  // namespace host
