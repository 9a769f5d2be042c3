#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

/// Header fields in the order they go on the wire. Names keep the spelling they were given.
using HttpFields = std::vector<std::pair<std::string, std::string>>;

namespace HttpUtils {

/// Splits an http or https URI into host, port and path; the query and fragment are dropped.
/// A URI without a port gives port 0. Returns false, leaving the outputs unchanged, when the
/// URI does not match or its port does not fit 16 bits.
bool parseURI(const std::string& uri, std::string& host, std::uint16_t& port, std::string& path);

/// Letter-case-blind comparison of field names (ASCII only, as HTTP names are).
bool fieldNameEquals(const std::string& a, const std::string& b);

/// A field name must be an RFC 9110 token; a value may not contain CR, LF or NUL.
bool isValidFieldName(const std::string& name);
bool isValidFieldValue(const std::string& value);

/// Value of the first field of that name (letter case ignored).
std::optional<std::string> firstField(const HttpFields& fields, const std::string& name);

}  // namespace HttpUtils
