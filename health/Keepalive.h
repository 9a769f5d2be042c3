#pragma once
// Keeps the plug-in's application sessions alive: every 180 seconds one keepalive command to
// each partition the service has told us about.

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>

class Keepalive {
public:
    /// Sends one keepalive to a partition and returns the send path's result code.
    using sender_t = std::function<std::uint32_t(std::uint64_t serial)>;

    static constexpr std::chrono::seconds PERIOD{180};
    static constexpr std::chrono::seconds POLL{1};
    /// Results after which the service no longer knows our sessions on that partition.
    static constexpr std::uint32_t RC_ARGUMENTS_BAD_CODE = 0xC0000007;
    static constexpr std::uint32_t BAD_ACCESS_HANDLE_CODE = 0x80000404;

    /// Starts the worker unless it already runs.
    static void start();
    /// Stops and joins the worker; returns at once when none runs.
    static void stop();
    /// Adds a partition to the set; the set survives stop and start.
    static void insert(std::uint64_t serial);

    /// Installed once by the plug-in: how a keepalive reaches a partition.
    static void set_sender(sender_t sender);

    /// For tests: a shorter pass period and wake-up interval, and a view of the set.
    static void set_timing_for_testing(std::chrono::nanoseconds period,
                                       std::chrono::nanoseconds poll);
    static std::set<std::uint64_t> partitions();
    static void clear_for_testing();
    static bool running();
};
