#include "operations/slots.h"

#include <cstddef>

#include "operations/objects.h"
#include "operations/sessions.h"
#include "plugin/boundary.h"

namespace {

template <auto Fn>
plugin_slot_t slot() {
    return reinterpret_cast<plugin_slot_t>(&boundary::guarded<Fn>::call);
}

struct slot_entry_t {
    std::size_t index;
    plugin_slot_t function;
};

}  // namespace

void fill_operation_slots(slot_table_t& slots) {
    const slot_entry_t entries[] = {
        // Sessions, login and access.
        {8, slot<close_application_id>()},
        {21, slot<get_session_info>()},
        {57, slot<open_session>()},
        {58, slot<close_session>()},
        {59, slot<close_all_sessions>()},
        {60, slot<clean_access>()},
        {61, slot<login>()},
        {62, slot<login_exec>()},
        {63, slot<logout>()},
        {122, slot<request_challenge>()},
        // Objects.
        {64, slot<create_object>()},
        {65, slot<destroy_object>()},
        {66, slot<destroy_multiple_objects>()},
        {67, slot<copy_object>()},
        {68, slot<get_object_size>()},
        {69, slot<get_attribute_size>()},
        {70, slot<get_attribute_value>()},
        {71, slot<set_attribute_value>()},
        {72, slot<find_objects_init>()},
        {73, slot<find_objects_update>()},
        {74, slot<find_objects_final>()},
        {123, slot<get_object_ouid>()},
        {124, slot<get_object_handle>()},
    };
    for (const auto& entry : entries) {
        slots.at(entry.index) = entry.function;
    }
}
