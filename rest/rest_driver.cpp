#include "rest/rest_driver.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex s_transport_mutex;  // guards s_transport
rest_transport_t s_transport;

// Without a transport nothing can reach the service.
constexpr std::uint32_t TRANSPORT_UNAVAILABLE = 0xC0000002;

}  // namespace

std::uint32_t rest_send(cmd_t& cmd) {
    rest_transport_t transport;
    {
        std::lock_guard lock(s_transport_mutex);
        transport = s_transport;
    }
    return transport ? transport(cmd) : TRANSPORT_UNAVAILABLE;
}

bool rest_initialize() {
    std::lock_guard lock(s_transport_mutex);
    return static_cast<bool>(s_transport);
}

bool rest_finalize() { return true; }

void set_rest_transport_for_testing(rest_transport_t transport) {
    std::lock_guard lock(s_transport_mutex);
    s_transport = std::move(transport);
}
