// The four exported entry points. Each is a thin thunk: the work lives in the spine.
#include "plugin/plugin_api.h"

#include <cstdio>

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

std::uint32_t plugin_initialize(int /*version*/, plugin_slot_t* /*table*/) {
    // The start-up sequence is not wired in yet: refuse rather than hand out an empty table.
    std::fputs("Zarv: unable to initialize plugin.\n", stderr);
    return 0xC0000002;
}

std::uint32_t plugin_finalize() { return 0; }
}
