#include "udp/CompletedSends.h"

void CompletedSends::push(const Outcome* outcomes, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.insert(queued.end(), outcomes, outcomes + count);
}

void CompletedSends::takeAll(std::vector<Outcome>& taken) {
    taken.clear();
    std::lock_guard<std::mutex> lock(mutex);
    queued.swap(taken);
}
