#pragma once
// Whether a partition is operational: a time stamp per partition, refreshed by every successful
// command and cleared by every transport failure; a stale stamp leads to a probe.

#include <cstdint>
#include <functional>
#include <vector>

class StatusMonitor {
public:
    /// Sends one status probe to a partition and returns the send path's result code.
    using prober_t = std::function<std::uint32_t(std::uint64_t serial)>;
    /// Seconds since 1970.
    using clock_t = std::int64_t (*)();

    /// Registers the partitions, all offline, and reads the expiry from ClientTimeoutSec.
    static void start(const std::vector<std::uint64_t>& serials);
    static void stop();

    static void setOnline(std::uint64_t serial);
    static void setOffline(std::uint64_t serial);
    /// Fresh stamp, or else the verdict of a probe.
    static bool isOnline(std::uint64_t serial);

    /// Installed once by the plug-in: how a probe reaches a partition.
    static void set_prober(prober_t prober);
    static std::int64_t expiry_seconds();
    /// For tests: a clock of our choosing; null restores the system clock.
    static void set_clock_for_testing(clock_t clock);
};
