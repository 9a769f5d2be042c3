#pragma once
// Attribute templates as this host writes them. The plug-in passes templates through unread;
// the host serialises them in the form the stand-in service accepts (all words 32-bit
// little-endian): format word 12, attribute count, then each attribute's type, value length
// and value bytes, without padding.
//
// The text form `ximora-host object` reads: one attribute per line, a type (a 32-bit number in
// decimal or 0x hex) and one value, nothing after it; blank lines and lines starting with #
// are ignored. The values:
//
//   "demo key"   a quoted string (\" and \\ escape; no line breaks)
//   hex:0a0b0c   bytes in hex (an even number of digits, possibly none)
//   u32:16       a 32-bit little-endian number (decimal or 0x hex)
//   true, false  one byte, 1 or 0

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct attribute_t {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> value;
};

inline constexpr std::uint32_t TEMPLATE_FORMAT_WORD = 12;

/// Reads the text form. Throws std::invalid_argument naming the line of the first error.
std::vector<attribute_t> parse_template_text(std::string_view text);

/// The serialised template of `attributes`, in their order.
std::vector<std::uint8_t> serialise_template(const std::vector<attribute_t>& attributes);

/// A value for people: its hex digits, and the text in quotes when all of it is printable.
std::string render_value(std::span<const std::uint8_t> value);

/// A 32-bit number in decimal or 0x hex; false when `text` is not one.
bool parse_u32(std::string_view text, std::uint32_t& out);

}  // namespace host
