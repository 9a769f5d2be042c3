#include "service/faults.h"

namespace service {

void fault_queue::push(fault_t fault, unsigned count) {
    if (count == 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    entries_.push_back({std::move(fault), count});
}

void fault_queue::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t fault_queue::pending() const {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (const auto& entry : entries_) {
        total += entry.remaining;
    }
    return total;
}

std::optional<fault_t> fault_queue::take(std::optional<std::uint32_t> command) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->fault.command && it->fault.command != command) {
            continue;
        }
        fault_t fault = it->fault;
        if (--it->remaining == 0) {
            entries_.erase(it);
        }
        return fault;
    }
    return std::nullopt;
}

}  // namespace service
