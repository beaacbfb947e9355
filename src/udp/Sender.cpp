#include "udp/Sender.h"

#include "host/Logger.h"

namespace {

// The threads that send are numbered as they first do, so that they spread
// over the workers.
std::atomic<std::size_t> threadsSeen{0};

}  // namespace

// One per thread, so that a thread that keeps sending stops allocating.
std::string& Sender::lineRoom() {
    thread_local std::string room;
    return room;
}

Sender::Sender(const Workers& workers, const std::atomic<int>& workerCount,
               const SendTexts& texts)
    : workers(workers), workerCount(workerCount), texts(texts) {}

// Workers are added only while the server is stopped, when nothing sends.
SendPath& Sender::pathHere() {
    const int count = workerCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        if (workers[i]->deliversOnThisThread()) return workers[i]->sending();
    }
    thread_local const std::size_t number = threadsSeen.fetch_add(1, std::memory_order_relaxed);
    return workers[number % static_cast<std::size_t>(count)]->sending();
}

void Sender::logQueuedSends() {
    const int count = workerCount.load();
    for (int i = 0; i < count; ++i) workers[i]->sending().logQueuedSends();
}

void Sender::discardWaiting() {
    std::uint64_t discarded = 0;
    const int count = workerCount.load();
    for (int i = 0; i < count; ++i) discarded += workers[i]->sending().discardWaiting();
    if (discarded == 0) return;
    velmora::Logger::error("[UDPServer] Discarded " + std::to_string(discarded) +
                           " waiting datagrams on port " + std::to_string(texts.localPort));
}

// One deadline for all: the drain takes as long as the slowest worker's.
void Sender::drainWaiting(std::chrono::steady_clock::time_point deadline) {
    const int count = workerCount.load();
    for (int i = 0; i < count; ++i) workers[i]->sending().drainWaiting(deadline);
}

void Sender::addTo(UDPServer::Counters& counters) const {
    const int count = workerCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        const SendPath& path = workers[i]->sending();
        const SendCounters& c = path.counters();
        counters.sendsAccepted += c.sendsAccepted.get();
        counters.sent += c.sent.get();
        counters.sendsFailed += c.sendsFailed.get();
        counters.sendsDiscarded += c.sendsDiscarded.get();
        counters.sendsQueueFull += c.sendsQueueFull.get();
        counters.waitingDatagrams += path.waitingDatagrams();
        counters.waitingBytes += path.waitingBytes();
    }
}
