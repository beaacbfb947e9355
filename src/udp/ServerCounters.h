#pragma once

#include <atomic>
#include <cstdint>

// A count written by one thread at a time (the worker, or a thread that runs
// while no worker does) and read by any: no read-modify-write needed.
class OwnedCount {
public:
    void add(std::uint64_t n = 1) {
        value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    std::uint64_t get() const { return value.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value{0};
};

// A count that any thread adds to.
class SharedCount {
public:
    void add(std::uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t get() const { return value.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value{0};
};

// The figures behind UDPServer::Counters, except the waiting sends, which
// their queue counts.
struct ServerCounters {
    OwnedCount received;
    OwnedCount delivered;
    OwnedCount rejectedForeign;
    OwnedCount rejectedEmpty;
    OwnedCount receiveErrors;
    OwnedCount truncated;
    OwnedCount droppedBySystem;
    SharedCount sendsAccepted;
    SharedCount sent;
    SharedCount sendsFailed;
    OwnedCount sendsDiscarded;
    SharedCount sendsQueueFull;
    OwnedCount rejectedNotForGroup;
};
