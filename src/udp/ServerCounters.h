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

// A worker's receive-side figures behind UDPServer::Counters, on cache lines
// of their own so that workers never write to a line that another reads
// from or writes to.
struct alignas(64) ReceiveCounters {
    OwnedCount received;
    OwnedCount delivered;
    OwnedCount rejectedForeign;
    OwnedCount rejectedEmpty;
    OwnedCount receiveErrors;
    OwnedCount truncated;
    OwnedCount droppedBySystem;
    OwnedCount rejectedNotForGroup;
    OwnedCount rejectedByPolicy;
    OwnedCount rejectedByLimit;
    OwnedCount wouldLimitDeliveries;
    // Replies the worker's deliveries made, refused or let through by the
    // reply limit.
    OwnedCount repliesRateLimited;
    OwnedCount wouldLimitReplies;
};

// The send side's figures, except the waiting sends, which their queue counts.
struct SendCounters {
    SharedCount sendsAccepted;
    SharedCount sent;
    SharedCount sendsFailed;
    OwnedCount sendsDiscarded;
    SharedCount sendsQueueFull;
};
