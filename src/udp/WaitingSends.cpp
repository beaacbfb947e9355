#include "udp/WaitingSends.h"

#include <utility>

WaitingSends::Added WaitingSends::add(const char* data, std::size_t size, const Route& route) {
    if (size > limit) return Added::Refused;
    const std::size_t cost = size + kOverhead;
    if (!fits(cost)) return Added::Refused;  // no copy for a refusal
    std::vector<char> copy(data, data + size);
    std::lock_guard<std::mutex> lock(mutex);
    if (cost > limit - charged) return Added::Refused;  // another thread took the room
    charged += cost;
    return push(std::move(copy), route);
}

bool WaitingSends::reserve(std::size_t size) {
    if (size > limit) return false;
    const std::size_t cost = size + kOverhead;
    std::lock_guard<std::mutex> lock(mutex);
    if (cost > limit - charged) return false;
    charged += cost;
    return true;
}

void WaitingSends::unreserve(std::size_t bytes, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    charged -= bytes + count * kOverhead;
}

WaitingSends::Added WaitingSends::addReserved(const char* data, std::size_t size,
                                              const Route& route) {
    std::vector<char> copy(data, data + size);
    std::lock_guard<std::mutex> lock(mutex);
    return push(std::move(copy), route);
}

WaitingSends::Added WaitingSends::push(std::vector<char> copy, const Route& route) {
    payload += copy.size();
    queue.push_back({std::move(copy), route});
    recount();
    return queue.size() == 1 ? Added::First : Added::Behind;
}

bool WaitingSends::fits(std::size_t cost) const {
    std::lock_guard<std::mutex> lock(mutex);
    return cost <= limit - charged;
}

const WaitingSends::Waiting* WaitingSends::front() const {
    std::lock_guard<std::mutex> lock(mutex);
    return queue.empty() ? nullptr : &queue.front();
}

void WaitingSends::pop() {
    bool empty;
    {
        std::lock_guard<std::mutex> lock(mutex);
        charged -= queue.front().bytes.size() + kOverhead;
        payload -= queue.front().bytes.size();
        queue.pop_front();
        recount();
        empty = queue.empty();
    }
    if (empty) emptied.notify_all();
}

void WaitingSends::waitUntilEmpty(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    emptied.wait_until(lock, deadline, [this] { return queue.empty(); });
}

std::uint64_t WaitingSends::discardAll() {
    std::uint64_t discarded;
    {
        std::lock_guard<std::mutex> lock(mutex);
        discarded = queue.size();
        for (const Waiting& waiting : queue) charged -= waiting.bytes.size() + kOverhead;
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
