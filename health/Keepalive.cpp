#include "health/Keepalive.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// One keepalive service per process.
std::atomic<bool> s_run{false};
std::condition_variable s_cond_var;
std::mutex s_mutex;                     // guards s_partitions, s_sender and the timing below
std::set<std::uint64_t> s_partitions;  // partitions to keep alive, ascending
Keepalive::sender_t s_sender;
std::chrono::nanoseconds s_period = Keepalive::PERIOD;
std::chrono::nanoseconds s_poll = Keepalive::POLL;

// Serialises start and stop, which the host calls from its initialise and finalise.
std::mutex s_lifecycle_mutex;

void stop_and_join(std::thread* worker) {
    {
        std::lock_guard lock(s_mutex);
        s_run.store(false, std::memory_order_seq_cst);
    }
    s_cond_var.notify_all();
    if (worker->joinable()) {
        worker->join();
    }
    delete worker;
}

// The deleter stops the thread, so dropping the handle (also at library unload) never leaves a
// joinable thread behind.
std::shared_ptr<std::thread> s_worker;

// Waits until `period` has passed since `since`; false when asked to stop meanwhile.
bool wait_for_next_pass(std::chrono::system_clock::time_point since) {
    std::unique_lock lock(s_mutex);
    while (std::chrono::system_clock::now() - since < s_period) {
        s_cond_var.wait_until(lock, std::chrono::system_clock::now() + s_poll);
        if (!s_run.load()) {
            return false;
        }
    }
    return s_run.load();
}

bool removes_partition(std::uint32_t result) {
    return result == Keepalive::RC_ARGUMENTS_BAD_CODE || result == Keepalive::BAD_ACCESS_HANDLE_CODE;
}

void send_pass() {
    std::vector<std::uint64_t> serials;
    Keepalive::sender_t sender;
    {
        std::lock_guard lock(s_mutex);
        serials.assign(s_partitions.begin(), s_partitions.end());
        sender = s_sender;
    }
    for (std::uint64_t serial : serials) {
        if (!s_run.load()) {
            return;
        }
        if (!sender) {
            continue;
        }
        std::uint32_t result = 0xC0000002;
        try {
            result = sender(serial);
        } catch (...) {
            // A failed keepalive is retried in the next pass like any other failure.
        }
        if (removes_partition(result)) {
            std::lock_guard lock(s_mutex);
            s_partitions.erase(serial);
        }
    }
}

void work() {
    auto pass_started = std::chrono::system_clock::now();
    while (s_run.load()) {
        if (!wait_for_next_pass(pass_started)) {
            return;
        }
        // The next pass is due a whole period after this one started, however long it takes.
        pass_started = std::chrono::system_clock::now();
        send_pass();
    }
}

}  // namespace

void Keepalive::start() {
    std::lock_guard lifecycle(s_lifecycle_mutex);
    if (s_run.exchange(true)) {
        return;
    }
    try {
        // Should the handle's own allocation fail, shared_ptr runs the deleter, which stops
        // and joins the thread before the exception goes on.
        s_worker = std::shared_ptr<std::thread>(new std::thread(work), stop_and_join);
    } catch (...) {
        s_run.store(false);
        throw;
    }
}

void Keepalive::stop() {
    std::shared_ptr<std::thread> worker;
    {
        std::lock_guard lifecycle(s_lifecycle_mutex);
        worker.swap(s_worker);
    }
    worker.reset();
}

void Keepalive::insert(std::uint64_t serial) {
    std::lock_guard lock(s_mutex);
    s_partitions.insert(serial);
}

void Keepalive::set_sender(sender_t sender) {
    std::lock_guard lock(s_mutex);
    s_sender = std::move(sender);
}

void Keepalive::set_timing_for_testing(std::chrono::nanoseconds period,
                                       std::chrono::nanoseconds poll) {
    std::lock_guard lock(s_mutex);
    s_period = period;
    s_poll = poll;
}

std::set<std::uint64_t> Keepalive::partitions() {
    std::lock_guard lock(s_mutex);
    return s_partitions;
}

void Keepalive::clear_for_testing() {
    std::lock_guard lock(s_mutex);
    s_partitions.clear();
}

bool Keepalive::running() { return s_run.load(); }
