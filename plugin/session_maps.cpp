#include "plugin/session_maps.h"

session_table<std::uint64_t> s_session_partition_map;
session_table<saved_context_t> s_find_objects_context_map;
session_table<saved_context_t> s_encrypt_context_map;
session_table<saved_context_t> s_decrypt_context_map;
session_table<saved_context_t> s_digest_context_map;
session_table<saved_context_t> s_sign_context_map;
session_table<saved_context_t> s_verify_context_map;

std::uint64_t session_to_partition(std::uint32_t session) {
    return s_session_partition_map.find(session).value_or(0);
}

void forget_session(std::uint32_t session) {
    s_session_partition_map.erase(session);
    for (auto* contexts : {&s_find_objects_context_map, &s_encrypt_context_map,
                           &s_decrypt_context_map, &s_digest_context_map, &s_sign_context_map,
                           &s_verify_context_map}) {
        contexts->erase(session);
    }
}
