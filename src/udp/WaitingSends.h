#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

// Sends that found the socket's send buffer full, as copies of their bytes in
// the order they were made, until the worker sends them once there is room.
// While any waits, later sends join the queue, so that each thread's
// datagrams leave in the order that thread sent them. Any thread.
class WaitingSends {
public:
    // Whether any send waits.
    bool any() const { return waiting.load(std::memory_order_acquire); }

    // Appends a copy of the bytes; true when the queue was empty, so that a
    // wait for room has to be armed.
    bool add(const char* data, std::size_t size);

    // The oldest waiting send, or null. It stays valid until pop(), whatever
    // other threads add meanwhile.
    const std::vector<char>* front() const;
    // Drops the oldest waiting send, once it has been sent.
    void pop();

private:
    mutable std::mutex mutex;  // held only to change or read the queue
    std::deque<std::vector<char>> queue;
    std::atomic<bool> waiting{false};
};
