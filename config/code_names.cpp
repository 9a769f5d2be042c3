#include "config/code_names.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "config/codes.h"

namespace {

#include "config/code_tables.inc"

constexpr const char* UNKNOWN_CODE_NAME = "UNKNOWN";
constexpr const char* UNKNOWN_RESULT_NAME = "Unknown ResultCode value";

constexpr bool value_less(const code_name_t& a, const code_name_t& b) {
    return a.value < b.value;
}

// Binary search needs strictly ascending values; a table edited out of order fails the build.
template <std::size_t N>
constexpr bool strictly_ascending(const code_name_t (&table)[N]) {
    return std::adjacent_find(std::begin(table), std::end(table), [](const auto& a, const auto& b) {
               return !value_less(a, b);
           }) == std::end(table);
}

static_assert(std::size(COMMAND_NAMES) == 261 && strictly_ascending(COMMAND_NAMES));
static_assert(std::size(ITEM_NAMES) == 68 && strictly_ascending(ITEM_NAMES));
static_assert(std::size(RESULT_NAMES) == 546 && strictly_ascending(RESULT_NAMES));

const char* find_name(std::span<const code_name_t> table, std::uint32_t value,
                      const char* fallback) noexcept {
    const auto it =
        std::lower_bound(table.begin(), table.end(), code_name_t{value, nullptr}, value_less);
    return it != table.end() && it->value == value ? it->name : fallback;
}

}  // namespace

std::string cmd_code_to_str(std::uint32_t code) {
    return find_name(COMMAND_NAMES, code, UNKNOWN_CODE_NAME);
}

std::string cmd_subcode_to_str(std::uint32_t item) {
    return find_name(ITEM_NAMES, item, UNKNOWN_CODE_NAME);
}

const char* ResultCode::AsString() const noexcept {
    return find_name(RESULT_NAMES, value_, UNKNOWN_RESULT_NAME);
}

std::span<const code_name_t> command_names() noexcept {
    return COMMAND_NAMES;
}
std::span<const code_name_t> item_names() noexcept {
    return ITEM_NAMES;
}
std::span<const code_name_t> result_names() noexcept {
    return RESULT_NAMES;
}
