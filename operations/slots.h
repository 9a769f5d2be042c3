#pragma once
// The slots of the host's table that the operation families fill.

#include "plugin/lifecycle.h"

/// Writes every operation slot into `slots`, each behind the boundary guard; other entries
/// are left as they are.
void fill_operation_slots(slot_table_t& slots);
