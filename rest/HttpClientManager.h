#pragma once
// A fixed-size pool of clients to one server. Every request borrows one client for its whole
// exchange, so the pool bounds the requests in flight and keeps their connections open between
// requests. Written for any client type with the constructor T(host, port, timeoutSec) and the
// operations isConnected() and connect(retryCount, intervalMs), so tests can lend fakes.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "config/SimpleLogger.h"

namespace client_pool {

/// More clients than this only add connections the service has to hold open.
inline constexpr std::uint64_t MAX_POOL_SIZE = 100;
/// How long a borrower waits before it counts as an old waiter that newcomers make way for.
inline constexpr std::chrono::milliseconds BASE_WAIT_SLICE{5000};
/// A spinning newcomer sleeps after this many checks so it does not starve the waiters it yields to.
inline constexpr unsigned GIVE_WAY_CHECKS_PER_SLEEP = 32;

/// The wait slice shrinks with the hardware threads: more threads, more borrowers in flight.
constexpr std::chrono::milliseconds max_wait_for(unsigned cores) {
    return cores == 0 ? BASE_WAIT_SLICE : BASE_WAIT_SLICE / cores;
}

/// Number of hardware threads, 0 when the system does not say.
inline const unsigned core_count = std::thread::hardware_concurrency();
inline const std::chrono::milliseconds max_wait = max_wait_for(core_count);

/// min(poolSize, 100); a configured 0 would leave every borrower waiting for ever, so it gives
/// one client and a warning instead.
inline std::uint64_t effective_pool_size(std::uint64_t poolSize) {
    if (poolSize == 0) {
        if (SimpleLogger::logLevel() <= SimpleLogger::warning) {
            SimpleLogger(SimpleLogger::warning)()
                << "HttpClientManager::init(): ClientPoolSize 0 is not usable, using 1 client";
        }
        return 1;
    }
    return std::min(poolSize, MAX_POOL_SIZE);
}

/// Borrowers that have waited a whole slice register here; newcomers spin until none is
/// registered, so a returned client goes to the longest waiter rather than to a newcomer.
class WaiterGate {
public:
    explicit WaiterGate(unsigned cores = core_count) : single_core_(cores == 1) {}

    void enter() { count_.fetch_add(1, std::memory_order_acq_rel); }
    void leave() { count_.fetch_sub(1, std::memory_order_acq_rel); }
    int count() const { return count_.load(std::memory_order_acquire); }

    /// Returns once no registered waiter is left. With a single hardware thread a spin would
    /// only keep the waiters from running, so it sleeps at every check.
    void give_way() const {
        unsigned checks = 0;
        while (count() > 0) {
            if (single_core_ || ++checks % GIVE_WAY_CHECKS_PER_SLEEP == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

private:
    const bool single_core_;
    std::atomic<int> count_{0};
};

}  // namespace client_pool

template <typename T>
class HttpClientManager {
    struct TImpl;

public:
    /// Gives a lent client back to the pool it came from. It shares ownership of that pool, so a
    /// handle that outlives a replaced pool or its manager never returns into freed memory.
    class Deleter {
    public:
        Deleter() = default;
        explicit Deleter(std::shared_ptr<TImpl> impl) : impl_(std::move(impl)) {}
        void operator()(T* client) const;

    private:
        friend class HttpClientManager;
        std::shared_ptr<TImpl> impl_;
    };

    using ClientHandle = std::unique_ptr<T, Deleter>;

    HttpClientManager() = default;
    ~HttpClientManager() { retire(current()); }
    HttpClientManager(const HttpClientManager&) = delete;
    HttpClientManager& operator=(const HttpClientManager&) = delete;

    /// Replaces the pool by min(poolSize, 100) unconnected clients and connects one of them;
    /// whether that one is connected.
    bool init(const std::string& host, std::uint16_t port, std::uint64_t poolSize,
              std::int32_t retryCount, std::int32_t intervalMs, std::int32_t timeoutSec);

    /// The most recently returned client, connected when a connection could be made. Waits
    /// without limit while every client is lent.
    ClientHandle borrowClient();

    /// Puts a client back; ownership passes to the pool and `client` becomes null.
    void returnClient(T*& client);

    /// Destroys the handle's client and lends a fresh, connected one in its place.
    ClientHandle renewClient(ClientHandle handle);

    /// Borrowers currently registered as having waited a whole slice.
    int waiters() const;
    /// Clients not lent out; 0 before init.
    std::size_t idleCount() const;

    /// Lets tests shorten the slice after which a waiting borrower registers.
    void setWaitSliceForTesting(std::chrono::milliseconds slice) { wait_slice_ = slice; }

private:
    std::shared_ptr<TImpl> current() const;
    static void retire(const std::shared_ptr<TImpl>& impl);
    std::shared_ptr<TImpl> require(const char* uninitialized_text) const;
    static std::unique_ptr<T> popClient(std::deque<std::unique_ptr<T>>& idle);

    mutable std::mutex impl_mutex_;  // guards impl_ itself, not the clients inside it
    std::shared_ptr<TImpl> impl_;
    std::chrono::milliseconds wait_slice_ = client_pool::max_wait;
};

template <typename T>
struct HttpClientManager<T>::TImpl {
    TImpl(std::string host_, std::uint16_t port_, std::int32_t retryCount, std::int32_t intervalMs,
          std::int32_t timeoutSec)
        : host(std::move(host_)), port(port_), connect_retry_count(retryCount),
          connect_interval_ms(intervalMs), timeout(timeoutSec) {}

    std::unique_ptr<T> make_client() const { return std::make_unique<T>(host, port, timeout); }

    void give_back(T* client) {
        std::unique_ptr<T> owned(client);
        {
            std::lock_guard lock(mutex);
            if (retired) {
                return;  // closes outside the pool it no longer belongs to
            }
            idle.push_back(std::move(owned));
        }
        available.notify_one();
    }

    const std::string host;
    const std::uint16_t port;
    const std::int32_t connect_retry_count;
    const std::int32_t connect_interval_ms;
    const std::int32_t timeout;
    std::deque<std::unique_ptr<T>> idle;  // back = most recently returned
    bool retired = false;                 // replaced: returned clients are closed, not kept
    std::mutex mutex;                     // guards idle and retired
    std::condition_variable available;    // signalled once per returned client
    client_pool::WaiterGate waiters;
};

template <typename T>
void HttpClientManager<T>::Deleter::operator()(T* client) const {
    if (client == nullptr) {
        return;
    }
    if (impl_) {
        impl_->give_back(client);
    } else {
        delete client;
    }
}

template <typename T>
std::shared_ptr<typename HttpClientManager<T>::TImpl> HttpClientManager<T>::current() const {
    std::lock_guard lock(impl_mutex_);
    return impl_;
}

// A replaced pool closes its idle clients at once; lent ones close when they come back.
template <typename T>
void HttpClientManager<T>::retire(const std::shared_ptr<TImpl>& impl) {
    if (!impl) {
        return;
    }
    std::deque<std::unique_ptr<T>> closing;
    {
        std::lock_guard lock(impl->mutex);
        impl->retired = true;
        closing.swap(impl->idle);
    }
    impl->available.notify_all();
}

template <typename T>
std::shared_ptr<typename HttpClientManager<T>::TImpl> HttpClientManager<T>::require(
    const char* uninitialized_text) const {
    auto impl = current();
    if (!impl) {
        throw std::runtime_error(uninitialized_text);
    }
    return impl;
}

template <typename T>
std::unique_ptr<T> HttpClientManager<T>::popClient(std::deque<std::unique_ptr<T>>& idle) {
    std::unique_ptr<T> client = std::move(idle.back());
    idle.pop_back();
    return client;
}

template <typename T>
bool HttpClientManager<T>::init(const std::string& host, std::uint16_t port,
                                std::uint64_t poolSize, std::int32_t retryCount,
                                std::int32_t intervalMs, std::int32_t timeoutSec) {
    auto impl = std::make_shared<TImpl>(host, port, retryCount, intervalMs, timeoutSec);
    const std::uint64_t n = client_pool::effective_pool_size(poolSize);
    for (std::uint64_t i = 0; i < n; ++i) {
        impl->idle.push_back(impl->make_client());
    }
    std::shared_ptr<TImpl> previous;
    {
        std::lock_guard lock(impl_mutex_);
        previous = std::exchange(impl_, std::move(impl));
    }
    retire(previous);
    ClientHandle first = borrowClient();
    return first->isConnected();
}

template <typename T>
typename HttpClientManager<T>::ClientHandle HttpClientManager<T>::borrowClient() {
    auto impl = require("HttpClientManager::borrowClient(): implementation uninitialized");
    impl->waiters.give_way();

    std::unique_lock lock(impl->mutex);
    bool registered = false;
    const auto lendable = [&] { return !impl->idle.empty() || impl->retired; };
    while (!impl->available.wait_for(lock, wait_slice_, lendable)) {
        if (!registered) {
            impl->waiters.enter();
            registered = true;
        }
    }
    if (registered) {
        impl->waiters.leave();
    }
    if (impl->retired) {
        throw std::runtime_error("HttpClientManager::borrowClient(): pool replaced while waiting");
    }
    ClientHandle client(popClient(impl->idle).release(), Deleter(impl));
    lock.unlock();

    // Connecting can take many seconds; other borrowers must not wait for it.
    if (!client->isConnected()) {
        client->connect(impl->connect_retry_count, impl->connect_interval_ms);
    }
    return client;
}

template <typename T>
void HttpClientManager<T>::returnClient(T*& client) {
    if (client == nullptr) {
        return;
    }
    const Deleter give_back{current()};
    give_back(std::exchange(client, nullptr));
}

template <typename T>
typename HttpClientManager<T>::ClientHandle HttpClientManager<T>::renewClient(ClientHandle handle) {
    auto impl = require("HttpClientManager::renewClient(): implementation uninitialized");
    if (!handle) {
        // Replacing nothing would add a client and break the fixed size of the pool.
        throw std::invalid_argument("HttpClientManager::renewClient(): empty handle");
    }
    if (handle.get_deleter().impl_) {
        impl = handle.get_deleter().impl_;  // the replacement belongs where the old one came from
    }
    delete handle.release();

    ClientHandle fresh(impl->make_client().release(), Deleter(impl));
    fresh->connect(impl->connect_retry_count, impl->connect_interval_ms);
    return fresh;
}

template <typename T>
int HttpClientManager<T>::waiters() const {
    auto impl = current();
    return impl ? impl->waiters.count() : 0;
}

template <typename T>
std::size_t HttpClientManager<T>::idleCount() const {
    auto impl = current();
    if (!impl) {
        return 0;
    }
    std::lock_guard lock(impl->mutex);
    return impl->idle.size();
}
