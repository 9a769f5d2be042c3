// The four exported entry points: thin thunks into the spine, behind the same guard as the
// slots so that nothing unwinds into the host.
#include "operations/slots.h"
#include "plugin/boundary.h"
#include "plugin/lifecycle.h"
#include "plugin/plugin_api.h"

namespace {

// Every slot the plug-in fills: those answered locally, then the operation families.
slot_table_t plugin_slot_table() {
    slot_table_t slots = local_slot_table();
    fill_operation_slots(slots);
    return slots;
}

std::uint32_t initialize(int version, plugin_slot_t* table) {
    return initialize_plugin(version, table, plugin_slot_table());
}

}  // namespace

extern "C" {

void plugin_get_version(std::int32_t* major, std::int32_t* minor) {
    if (major != nullptr) {
        *major = 1;
    }
    if (minor != nullptr) {
        *minor = 1;
    }
}

const char* plugin_get_description() { return "Ximora Plugin"; }

std::uint32_t plugin_initialize(int version, plugin_slot_t* table) {
    return boundary::guarded<initialize>::call(version, table);
}

std::uint32_t plugin_finalize() { return boundary::guarded<finalize_plugin>::call(); }
}
