#pragma once
// A reader-writer lock that lets a waiting writer in before new readers. Tunnels are read by
// every command, so with the default (reader-preferring) POSIX lock a steady stream of commands
// could keep an installing writer out indefinitely.

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace xtc {

/// Meets the SharedMutex requirements, so std::unique_lock and std::shared_lock work with it.
class rw_lock {
  public:
    rw_lock() {
        pthread_rwlockattr_t attr;
        check(pthread_rwlockattr_init(&attr));
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        const int rc = pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
        check(rc);
    }
    ~rw_lock() { pthread_rwlock_destroy(&lock_); }
    rw_lock(const rw_lock&) = delete;
    rw_lock& operator=(const rw_lock&) = delete;

    void lock() { check(pthread_rwlock_wrlock(&lock_)); }
    bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
    void unlock() { pthread_rwlock_unlock(&lock_); }

    void lock_shared() { check(pthread_rwlock_rdlock(&lock_)); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

  private:
    static void check(int rc) {
        if (rc != 0) {
            throw std::system_error(rc, std::generic_category(), "rw_lock");
        }
    }

    pthread_rwlock_t lock_;
};

}  // namespace xtc
