# cmake -DINPUT=<root.der> -DOUTPUT=<file.cpp> -P EmbedTrustRoot.cmake
# Writes a source file that defines xtc::built_in_root() over the certificate's bytes.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "Trust root ${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes per line keeps the generated file readable in a debugger.
string(REPEAT "0x..," 16 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.
#include \"xtc/cert.h\"

namespace xtc {
namespace {
const std::uint8_t BUILT_IN_ROOT[] = {
    ${bytes}
};
}  // namespace

std::span<const std::uint8_t> built_in_root() {
    return BUILT_IN_ROOT;
}

}  // namespace xtc
")
