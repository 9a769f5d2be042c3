#pragma once
// Counts of what a well-behaved client never does. Tests of the plug-in against the service
// assert that every count stays zero.

#include <atomic>
#include <cstdint>

namespace service {

struct violation_counts_t {
    std::uint64_t unknown_tokens = 0;           // protected request naming no open tunnel
    std::uint64_t tag_failures = 0;             // request that fails authentication
    std::uint64_t expired_requests = 0;         // expiry already passed (or absurdly far ahead)
    std::uint64_t sequence_reuses = 0;          // tunnel sequence number seen before (or too old)
    std::uint64_t saved_context_sequences = 0;  // saved-context step not above the last one
    std::uint64_t context_reuses = 0;           // command context presented after it was used
    std::uint64_t context_mismatches = 0;       // wrong tag, session or application for a context

    std::uint64_t total() const {
        return unknown_tokens + tag_failures + expired_requests + sequence_reuses +
               saved_context_sequences + context_reuses + context_mismatches;
    }
    bool operator==(const violation_counts_t&) const = default;
};

class violation_counters {
  public:
    std::atomic<std::uint64_t> unknown_tokens{0};
    std::atomic<std::uint64_t> tag_failures{0};
    std::atomic<std::uint64_t> expired_requests{0};
    std::atomic<std::uint64_t> sequence_reuses{0};
    std::atomic<std::uint64_t> saved_context_sequences{0};
    std::atomic<std::uint64_t> context_reuses{0};
    std::atomic<std::uint64_t> context_mismatches{0};

    violation_counts_t snapshot() const {
        return {unknown_tokens.load(),          tag_failures.load(),
                expired_requests.load(),        sequence_reuses.load(),
                saved_context_sequences.load(), context_reuses.load(),
                context_mismatches.load()};
    }
    void reset() {
        for (auto* counter : {&unknown_tokens, &tag_failures, &expired_requests, &sequence_reuses,
                              &saved_context_sequences, &context_reuses, &context_mismatches}) {
            counter->store(0);
        }
    }
};

}  // namespace service
