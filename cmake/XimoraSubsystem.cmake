# One static library per subsystem folder. Sources are picked up from the folder
# so that adding a file never needs an edit here; EXCLUDE names files that belong
# to another target of the same folder. ASIO_SSL marks a folder whose sources include Boost.Asio's
# TLS headers, which cannot be built with OPENSSL_NO_DEPRECATED.
function(ximora_subsystem name)
  cmake_parse_arguments(ARG "ASIO_SSL" "" "EXCLUDE;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${excluded}")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    if(NOT ARG_ASIO_SSL)
      target_compile_definitions(${name} PRIVATE OPENSSL_NO_DEPRECATED)
    endif()
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS})
  endif()
endfunction()
