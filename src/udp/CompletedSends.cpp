#include "udp/CompletedSends.h"

bool CompletedSends::push(const Outcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.push_back(outcome);
    return queued.size() == 1;
}

void CompletedSends::takeAll(std::vector<Outcome>& taken) {
    taken.clear();
    std::lock_guard<std::mutex> lock(mutex);
    queued.swap(taken);
}
