#pragma once
// Object operations: create, copy, modify and destroy HSM objects, read their sizes and
// attributes, search them, and translate between handles and object unique ids. Templates
// arrive serialised by the host and are passed on unparsed.

#include <cstddef>
#include <cstdint>

#include "plugin/host_types.h"

/// Size of an object unique id.
inline constexpr std::size_t OUID_SIZE = 12;

/// Slot 64.
std::uint32_t create_object(void* host, std::uint32_t session, const api_memory_block* tmpl,
                            std::uint32_t trailer_word, std::uint32_t* handle_out);
/// Slot 65.
std::uint32_t destroy_object(void* host, std::uint32_t session, std::uint32_t object);
/// Slot 66. Handles that are already gone count as destroyed; `done_out` receives the index
/// at which the loop stopped.
std::uint32_t destroy_multiple_objects(void* host, std::uint32_t session,
                                       const api_integer_block* list, std::uint32_t* done_out);
/// Slot 67. `tmpl` may be null.
std::uint32_t copy_object(void* host, std::uint32_t session, std::uint32_t object,
                          const api_memory_block* tmpl, std::uint32_t* handle_out);
/// Slot 68.
std::uint32_t get_object_size(void* host, std::uint32_t session, std::uint32_t object,
                              std::uint32_t* size_out);
/// Slot 69.
std::uint32_t get_attribute_size(void* host, std::uint32_t session, std::uint32_t object,
                                 std::uint32_t attribute_type, std::uint32_t* size_out);
/// Slot 70. `value->length` is the capacity on entry and the value's length on return.
std::uint32_t get_attribute_value(void* host, std::uint32_t session, std::uint32_t object,
                                  std::uint32_t attribute_type, api_memory_block* value);
/// Slot 71. `tmpl` may be null.
std::uint32_t set_attribute_value(void* host, std::uint32_t session, std::uint32_t object,
                                  const api_memory_block* tmpl);
/// Slot 72. Starts the session's search; `tmpl` may be null.
std::uint32_t find_objects_init(void* host, std::uint32_t session, const api_memory_block* tmpl);
/// Slot 73. At most `max_count` handles, in an array allocated with malloc (released by the
/// host through delete_integers).
std::uint32_t find_objects_update(void* host, std::uint32_t session, api_integer_block* list_out,
                                  std::uint32_t max_count);
/// Slot 74.
std::uint32_t find_objects_final(void* host, std::uint32_t session);
/// Slot 123. Writes OUID_SIZE bytes to `ouid_out`.
std::uint32_t get_object_ouid(void* host, std::uint32_t container, std::uint32_t first_word,
                              std::uint32_t second_word, std::uint8_t* ouid_out);
/// Slot 124. Searches the object with the OUID_SIZE-byte unique id in a session of its own.
std::uint32_t get_object_handle(void* host, std::uint32_t container, const std::uint8_t* ouid,
                                std::uint32_t* found_out, std::uint32_t* handle_out);
