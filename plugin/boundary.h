#pragma once
// The one place where failures meet the host: every slot body runs inside `guarded`, which
// turns any exception into a result code and logs it once. Nothing may unwind into the host.

#include <cstdint>
#include <exception>
#include <new>

#include "config/codes.h"

namespace boundary {

/// Logs an exception that reached the boundary; never throws.
void log_escaped(const char* slot, const char* what) noexcept;

template <auto Fn>
struct guarded;

template <typename... Args, std::uint32_t (*Fn)(Args...)>
struct guarded<Fn> {
    static std::uint32_t call(Args... args) noexcept {
        try {
            return Fn(args...);
        } catch (const std::bad_alloc& e) {
            log_escaped(__PRETTY_FUNCTION__, e.what());
            return RC_MEMORY_ALLOCATION;
        } catch (const std::exception& e) {
            log_escaped(__PRETTY_FUNCTION__, e.what());
            return RC_GENERAL_ERROR;
        } catch (...) {
            log_escaped(__PRETTY_FUNCTION__, "unknown exception");
            return RC_GENERAL_ERROR;
        }
    }
};

// Slots without a result (buffer release) swallow whatever happens.
template <typename... Args, void (*Fn)(Args...)>
struct guarded<Fn> {
    static void call(Args... args) noexcept {
        try {
            Fn(args...);
        } catch (...) {
            log_escaped(__PRETTY_FUNCTION__, "exception in a slot without result");
        }
    }
};

}  // namespace boundary
