#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "udp/Route.h"

// Sends that found the socket's send buffer full, as copies of their bytes in
// the order they were made, each with its route, until the worker sends them
// once there is room.
// While any waits, later sends join the queue, so that each thread's
// datagrams leave in the order that thread sent them. The copies are bounded:
// each is charged its size plus kOverhead, and a copy that would take the
// charge past the limit is refused. Room may also be reserved ahead for
// copies that may have to be made later (replies held until their batch has
// been delivered). Any thread.
class WaitingSends {
public:
    // What a copy costs beyond its bytes: its allocation and its place in
    // the queue, roughly.
    static constexpr std::size_t kOverhead = 64;

    explicit WaitingSends(std::size_t limit) : limit(limit) {}

    // Whether any send waits.
    bool any() const { return datagrams.load(std::memory_order_acquire) != 0; }
    std::uint64_t waitingDatagrams() const { return datagrams.load(std::memory_order_relaxed); }
    std::uint64_t waitingBytes() const { return bytes.load(std::memory_order_relaxed); }

    struct Waiting {
        std::vector<char> bytes;
        Route route;
    };

    enum class Added { Refused, First, Behind };
    // Appends a copy of the bytes, unless the limit refuses it. First means
    // the queue was empty, so a wait for room has to be armed.
    Added add(const char* data, std::size_t size, const Route& route);

    // Reserves the room a copy of `size` bytes would take; false if the
    // limit refuses it. The room is then either given back by unreserve()
    // or taken by addReserved(), which never refuses.
    bool reserve(std::size_t size);
    // Gives back the room of `count` reservations of `bytes` in all.
    void unreserve(std::size_t bytes, std::size_t count);
    Added addReserved(const char* data, std::size_t size, const Route& route);

    // The oldest waiting send, or null. It stays valid until pop() or
    // discardAll(), whatever other threads add meanwhile.
    const Waiting* front() const;
    // Drops the oldest waiting send, once it has been sent.
    void pop();

    // Waits until nothing waits, or until `deadline`.
    void waitUntilEmpty(std::chrono::steady_clock::time_point deadline);
    // Drops every waiting send, returning how many there were; reservations
    // stay. Only while no worker sends from the queue.
    std::uint64_t discardAll();

private:
    bool fits(std::size_t cost) const;
    Added push(std::vector<char> copy, const Route& route);  // with `mutex` held
    void recount();  // publishes the figures; with `mutex` held

    const std::size_t limit;
    mutable std::mutex mutex;  // held only to change or read the queue
    std::condition_variable emptied;
    std::deque<Waiting> queue;
    std::size_t charged = 0;  // sizes plus overheads of what is queued or reserved
    std::uint64_t payload = 0;
    std::atomic<std::uint64_t> datagrams{0};
    std::atomic<std::uint64_t> bytes{0};
};
