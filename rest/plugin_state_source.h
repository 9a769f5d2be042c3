#pragma once
// The plug-in state as the transport sees it. The state itself belongs to the command spine,
// which rest/ may not depend on, so the spine installs a reader here at start-up. Loops that
// wait on the network (connect retries, request attempts) give up once it reads finalising.

#include <cstdint>

/// Values of the plug-in state, numbered as the spine numbers them.
enum rest_plugin_state_t : std::int32_t {
    REST_PLUGIN_NOT_INITIALISED = 0,
    REST_PLUGIN_INITIALISING = 1,
    REST_PLUGIN_RUNNING = 2,
    REST_PLUGIN_FINALISING = 3,
};

using plugin_state_source_t = std::int32_t (*)();

/// Installs the reader of the plug-in state; null restores the default, which reads
/// REST_PLUGIN_RUNNING. Safe to call while other threads read the state.
void set_plugin_state_source(plugin_state_source_t source);

/// The current plug-in state through the installed reader.
std::int32_t rest_plugin_state();
