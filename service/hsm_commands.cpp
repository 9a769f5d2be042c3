// The one place that knows every command family of the emulated HSM.
#include "service/hsm.h"

namespace service {

command_table make_command_table() {
    command_table table;
    register_core_commands(table);
    register_session_commands(table);
    register_object_commands(table);
    return table;
}

}  // namespace service
