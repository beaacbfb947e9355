#include "udp/RaisedWorkers.h"

// The sockets join the port one after another, and each join moves some
// senders again: each is a generation of its own.
void RaisedWorkers::added(int from, int to) {
    for (int i = from; i < to; ++i) {
        ++newest;
        released[static_cast<std::size_t>(newest)].store(false);
        generation[static_cast<std::size_t>(i)] = newest;
    }
}

// Once every generation is released the workers are all alike again.
void RaisedWorkers::begin(int workerCount) {
    count = workerCount;
    bool allReleased = true;
    for (int g = 1; g <= newest; ++g) allReleased &= released[static_cast<std::size_t>(g)].load();
    if (allReleased) {
        generation.fill(0);
        newest = 0;
    }
    for (int g = 0; g <= newest; ++g) {
        drainedBelow[static_cast<std::size_t>(g)].store(0);
        olderThan[static_cast<std::size_t>(g)] = 0;
        for (int i = 0; i < count; ++i) {
            olderThan[static_cast<std::size_t>(g)] += generation[static_cast<std::size_t>(i)] < g;
        }
    }
    released[0].store(true);
    for (int i = 0; i < count; ++i) {
        const int own = generation[static_cast<std::size_t>(i)];
        workers[static_cast<std::size_t>(i)]->hold(!released[static_cast<std::size_t>(own)].load(),
                                                  own < newest);
    }
}

void RaisedWorkers::drained(int worker) {
    const int own = generation[static_cast<std::size_t>(worker)];
    for (int g = own + 1; g <= newest; ++g) {
        const auto at = static_cast<std::size_t>(g);
        if (drainedBelow[at].fetch_add(1) + 1 != olderThan[at] || released[at].exchange(true)) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (generation[static_cast<std::size_t>(i)] == g) {
                workers[static_cast<std::size_t>(i)]->release();
            }
        }
    }
}
