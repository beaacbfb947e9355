#include "udp/WaitingSends.h"

WaitingSends::Added WaitingSends::add(const char* data, std::size_t size) {
    if (size > limit) return Added::Refused;
    const std::size_t cost = size + kOverhead;
    if (!fits(cost)) return Added::Refused;  // no copy for a refusal
    std::vector<char> copy(data, data + size);
    std::lock_guard<std::mutex> lock(mutex);
    if (cost > limit - charged) return Added::Refused;  // another thread took the room
    charged += cost;
    queue.push_back(std::move(copy));
    payload += size;
    recount();
    return queue.size() == 1 ? Added::First : Added::Behind;
}

bool WaitingSends::fits(std::size_t cost) const {
    std::lock_guard<std::mutex> lock(mutex);
    return cost <= limit - charged;
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

void WaitingSends::waitUntilEmpty(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    emptied.wait_until(lock, deadline, [this] { return queue.empty(); });
}

std::uint64_t WaitingSends::discardAll() {
    std::uint64_t discarded;
    {
        std::lock_guard<std::mutex> lock(mutex);
        discarded = queue.size();
        queue.clear();
        charged = 0;
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
