#pragma once
// Names of command, item and result codes, for log messages and the COMMAND request header.

#include <cstdint>
#include <span>
#include <string>

/// One row of a code name table.
struct code_name_t {
    std::uint32_t value;
    const char* name;
};

/// Name of a command code, or "UNKNOWN" for a code without one.
std::string cmd_code_to_str(std::uint32_t code);

/// Name of an item code of ORVA_GET, or "UNKNOWN" for an item without one.
std::string cmd_subcode_to_str(std::uint32_t item);

/// A result code as a value; AsString names it without allocating, so it is safe on error paths.
class ResultCode {
public:
    explicit constexpr ResultCode(std::uint32_t value) noexcept : value_(value) {}

    constexpr std::uint32_t value() const noexcept { return value_; }

    /// The code's name, or "Unknown ResultCode value"; the text lives as long as the process.
    const char* AsString() const noexcept;

private:
    std::uint32_t value_;
};

/// The name tables themselves, each sorted by value with no value twice.
std::span<const code_name_t> command_names() noexcept;
std::span<const code_name_t> item_names() noexcept;
std::span<const code_name_t> result_names() noexcept;
