#include "health/StatusMonitor.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "config/XmConfiguration.h"

namespace {

using status_map_t = std::unordered_map<std::uint64_t, std::atomic<std::int64_t>>;

// The map's keys are fixed when it is built; a new start publishes a new map, so readers on
// other threads never see one change shape under them.
std::atomic<std::shared_ptr<status_map_t>> s_status{std::make_shared<status_map_t>()};
std::atomic<std::int64_t> s_expiry_sec{900};
std::atomic<StatusMonitor::clock_t> s_clock{nullptr};

std::mutex s_prober_mutex;  // guards s_prober
StatusMonitor::prober_t s_prober;

constexpr std::int64_t MIN_CLIENT_TIMEOUT_SEC = 60;

std::int64_t now_seconds() {
    StatusMonitor::clock_t clock = s_clock.load();
    return clock != nullptr ? clock() : static_cast<std::int64_t>(std::time(nullptr));
}

void store_stamp(std::uint64_t serial, std::int64_t stamp) {
    auto status = s_status.load();
    auto entry = status->find(serial);
    if (entry != status->end()) {
        entry->second.store(stamp, std::memory_order_seq_cst);
    }
}

std::uint32_t send_status_probe(std::uint64_t serial) {
    StatusMonitor::prober_t prober;
    {
        std::lock_guard lock(s_prober_mutex);
        prober = s_prober;
    }
    return prober ? prober(serial) : 0xC0000002;
}

}  // namespace

void StatusMonitor::start(const std::vector<std::uint64_t>& serials) {
    auto status = std::make_shared<status_map_t>();
    for (std::uint64_t serial : serials) {
        status->try_emplace(serial, 0);
    }
    std::int64_t c = std::max<std::int64_t>(XmConfiguration().GetRestClientTimeoutSec(),
                                            MIN_CLIENT_TIMEOUT_SEC);
    s_expiry_sec.store(c + c / 2);
    s_status.store(std::move(status));
}

void StatusMonitor::stop() {}

void StatusMonitor::setOnline(std::uint64_t serial) { store_stamp(serial, now_seconds()); }

void StatusMonitor::setOffline(std::uint64_t serial) { store_stamp(serial, 0); }

bool StatusMonitor::isOnline(std::uint64_t serial) {
    auto status = s_status.load();
    auto entry = status->find(serial);
    // A partition we never registered has no stamp: ask it, as for a stale one.
    if (entry != status->end()) {
        std::int64_t stamp = entry->second.load();
        if (stamp != 0 && now_seconds() - stamp < s_expiry_sec.load()) {
            return true;
        }
    }
    return send_status_probe(serial) == 0;
}

void StatusMonitor::set_prober(prober_t prober) {
    std::lock_guard lock(s_prober_mutex);
    s_prober = std::move(prober);
}

std::int64_t StatusMonitor::expiry_seconds() { return s_expiry_sec.load(); }

void StatusMonitor::set_clock_for_testing(clock_t clock) { s_clock.store(clock); }
