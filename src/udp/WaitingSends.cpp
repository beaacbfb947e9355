#include "udp/WaitingSends.h"

WaitingSends::Added WaitingSends::add(const char* data, std::size_t size) {
    if (size > limit) return Added::Refused;
    const std::size_t cost = size + kOverhead;
    std::vector<char> copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cost > limit - charged) return Added::Refused;
        charged += cost;  // claimed before the copy is made outside the lock
    }
    try {
        copy.assign(data, data + size);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        charged -= cost;
        throw;
    }
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(copy));
    payload += size;
    recount();
    return queue.size() == 1 ? Added::First : Added::Behind;
}

const std::vector<char>* WaitingSends::front() const {
    std::lock_guard<std::mutex> lock(mutex);
    return queue.empty() ? nullptr : &queue.front();
}

void WaitingSends::pop() {
    bool empty;
    {
        std::lock_guard<std::mutex> lock(mutex);
        charged -= queue.front().size() + kOverhead;
        payload -= queue.front().size();
        queue.pop_front();
        recount();
        empty = queue.empty();
    }
    if (empty) emptied.notify_all();
}

bool WaitingSends::waitUntilEmpty(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    return emptied.wait_until(lock, deadline, [this] { return queue.empty(); });
}

std::uint64_t WaitingSends::discardAll() {
    std::uint64_t discarded;
    {
        std::lock_guard<std::mutex> lock(mutex);
        discarded = queue.size();
        charged -= payload + discarded * kOverhead;  // copies being made stay charged
        queue.clear();
        payload = 0;
        recount();
    }
    emptied.notify_all();
    return discarded;
}

void WaitingSends::recount() {
    datagrams.store(queue.size(), std::memory_order_release);
    bytes.store(payload, std::memory_order_relaxed);
}
