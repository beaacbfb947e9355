#include "udp/WaitingSends.h"

bool WaitingSends::add(const char* data, std::size_t size) {
    std::vector<char> copy(data, data + size);
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(copy));
    waiting.store(true, std::memory_order_release);
    return queue.size() == 1;
}

const std::vector<char>* WaitingSends::front() const {
    std::lock_guard<std::mutex> lock(mutex);
    return queue.empty() ? nullptr : &queue.front();
}

void WaitingSends::pop() {
    std::lock_guard<std::mutex> lock(mutex);
    queue.pop_front();
    if (queue.empty()) waiting.store(false, std::memory_order_release);
}
