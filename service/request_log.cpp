#include "service/request_log.h"

namespace service {

void request_log::append(request_record_t record) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
    while (records_.size() > capacity_) {
        records_.pop_front();
    }
}

std::vector<request_record_t> request_log::snapshot() const {
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

void request_log::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace service
