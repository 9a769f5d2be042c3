# The trust anchor compiled into the plug-in and the enterprise number of the certificate
# function extension. Included by xtc/ (which embeds the root) and tools/pki/ (which mints).
include_guard(GLOBAL)

set(XIMORA_CERT_FUNCTION_PEN "4242" CACHE STRING
  "Private enterprise number in the certificate function extension OID (decimal, 128..16383)")
set(XIMORA_TRUST_ROOT "" CACHE FILEPATH
  "DER root certificate to compile in; empty: mint a development root in the build tree")

# The extension value has room for exactly two base-128 bytes of enterprise number.
if(NOT XIMORA_CERT_FUNCTION_PEN MATCHES "^[1-9][0-9]*$"
   OR XIMORA_CERT_FUNCTION_PEN LESS 128 OR XIMORA_CERT_FUNCTION_PEN GREATER 16383)
  message(FATAL_ERROR
    "XIMORA_CERT_FUNCTION_PEN='${XIMORA_CERT_FUNCTION_PEN}' is invalid: it must be a decimal "
    "number from 128 to 16383 (encoded as exactly two base-128 bytes).")
endif()

if(XIMORA_TRUST_ROOT)
  if(NOT EXISTS "${XIMORA_TRUST_ROOT}" OR IS_DIRECTORY "${XIMORA_TRUST_ROOT}")
    message(FATAL_ERROR "XIMORA_TRUST_ROOT='${XIMORA_TRUST_ROOT}' is not a file (DER certificate expected).")
  endif()
  set(XIMORA_DEV_ROOT_DIR "" CACHE INTERNAL "")
else()
  set(XIMORA_DEV_ROOT_DIR "${CMAKE_BINARY_DIR}/trust" CACHE INTERNAL
    "Development root (key and certificate) minted by the build")
endif()

# Compiles the root certificate's bytes into `target`. A development root is minted by
# ximora-pki only when missing (or when the enterprise number changed), never on every build,
# so that certificates issued under it stay valid across rebuilds.
function(ximora_embed_trust_root target)
  if(XIMORA_TRUST_ROOT)
    get_filename_component(root_der "${XIMORA_TRUST_ROOT}" ABSOLUTE)
  else()
    set(root_der "${XIMORA_DEV_ROOT_DIR}/root.der")
    set(pen_stamp "${XIMORA_DEV_ROOT_DIR}/pen.txt")
    file(MAKE_DIRECTORY "${XIMORA_DEV_ROOT_DIR}")
    # Rewritten (and so newer than the root) only when the number changes.
    file(CONFIGURE OUTPUT "${pen_stamp}" CONTENT "${XIMORA_CERT_FUNCTION_PEN}\n")
    # Naming the tool in COMMAND orders the build after it without making a rebuilt tool
    # mint a new root.
    add_custom_command(
      OUTPUT "${root_der}"
      COMMAND ximora-pki root --out "${XIMORA_DEV_ROOT_DIR}" --pen ${XIMORA_CERT_FUNCTION_PEN} --force
      DEPENDS "${pen_stamp}"
      COMMENT "Minting the development trust root in ${XIMORA_DEV_ROOT_DIR}"
      VERBATIM)
  endif()
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/built_in_root.cpp")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND ${CMAKE_COMMAND} -DINPUT=${root_der} -DOUTPUT=${generated}
            -P "${PROJECT_SOURCE_DIR}/cmake/EmbedTrustRoot.cmake"
    DEPENDS "${root_der}" "${PROJECT_SOURCE_DIR}/cmake/EmbedTrustRoot.cmake"
    COMMENT "Embedding the trust root"
    VERBATIM)
  target_sources(${target} PRIVATE "${generated}")
endfunction()
