#include "udp/CompletedSends.h"

bool CompletedSends::push(const Outcome* outcomes, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    const bool wasEmpty = queued.empty();
    queued.insert(queued.end(), outcomes, outcomes + count);
    return wasEmpty;
}

void CompletedSends::takeAll(std::vector<Outcome>& taken) {
    taken.clear();
    std::lock_guard<std::mutex> lock(mutex);
    queued.swap(taken);
}
