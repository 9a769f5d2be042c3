#include "rest/plugin_state_source.h"

#include <atomic>

namespace {

std::int32_t running_state() { return REST_PLUGIN_RUNNING; }

// Swapped by the spine at start-up while client threads may already read it.
std::atomic<plugin_state_source_t> s_plugin_state_source{&running_state};

}  // namespace

void set_plugin_state_source(plugin_state_source_t source) {
    s_plugin_state_source.store(source != nullptr ? source : &running_state,
                                std::memory_order_release);
}

std::int32_t rest_plugin_state() {
    return s_plugin_state_source.load(std::memory_order_acquire)();
}
