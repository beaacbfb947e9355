#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>

#include "host/Logger.h"
#include "udp/Internals.h"
#include "udp/NativeSocket.h"
#include "udp/SystemErrors.h"

UDPServerDelegate::~UDPServerDelegate() = default;

namespace {

// Every construction error compares equal to its std::errc value, the event
// loop's own ("epoll: Too many open files") included.
template <typename Record, typename... Arguments>
std::unique_ptr<Record> makeRecord(const Arguments&... arguments) {
    try {
        return std::make_unique<Record>(arguments...);
    } catch (const std::system_error& e) {
        const std::error_code standard = standardCode(e.code());
        if (standard == e.code()) throw;
        // what() is "context: message"; the context is kept.
        const std::string what = e.what();
        const std::string message = ": " + e.code().message();
        const bool hasContext = what.size() > message.size() &&
                                what.compare(what.size() - message.size(), message.size(),
                                             message) == 0;
        throw std::system_error(standard,
                                hasContext ? what.substr(0, what.size() - message.size()) : "");
    }
}

}  // namespace

UDPServer::UDPServer(int localPort) : internals(makeRecord<Internals>(localPort)) {}

UDPServer::UDPServer(int localPort, const std::string& localAddress)
    : internals(makeRecord<Internals>(localPort, localAddress)) {}

UDPServer::UDPServer(const std::string& remoteAddress, int remotePort, int localPort)
    : internals(makeRecord<Internals>(remoteAddress, remotePort, localPort)) {}

UDPServer::UDPServer(AdoptedSocket socket) : internals(makeRecord<Internals>(socket.handle)) {}

UDPServer::UDPServer(AdoptedSocket socket, const std::string& remoteAddress, int remotePort)
    : internals(makeRecord<Internals>(socket.handle, remoteAddress, remotePort)) {}

UDPServer::~UDPServer() {
    try {
        stop();
    } catch (...) {
        // Only the host logger or a stop() from the worker can throw here; the
        // worker is joined whenever that is possible, and nothing is left to
        // report the failure to.
    }
    {
        std::lock_guard<std::mutex> lock(internals->lifecycleMutex);
        if (internals->phase != Internals::Phase::Stopped) return;  // stop() ran on the worker
    }
    try {
        // What sends racing the last stop() left behind, and every line the
        // error line budget still holds.
        internals->settleWithoutWorker(true);
    } catch (...) {
    }
}

// Of racing start() calls one starts the server; the others find it starting
// or running and are refused. A stop() in progress finishes first.
void UDPServer::start() {
    Internals& in = *internals;
    if (!in.beginPhase(Internals::Phase::Stopped, Internals::Phase::Starting)) {
        velmora::Logger::error("[UDPServer] Error: Trying to start a running UDP server");
        return;
    }
    try {
        // Nothing waits across a stop(): copies that a send racing it left
        // behind are discarded, not sent in the next run.
        in.sender.discardWaiting();
        velmora::Logger::info("[UDPServer] Starting on port " + std::to_string(in.localPort));
        // Running before the workers exist, so they deliver at once and a
        // delegate may answer the very first datagram.
        in.running.store(true);
        in.startWorkers();
    } catch (...) {
        in.running.store(false);
        in.endPhase(Internals::Phase::Stopped);
        throw;
    }
    in.endPhase(Internals::Phase::Running);
}

// Every call logs and returns once no worker runs. Calls racing one that
// stops the worker wait for its join. If logging fails, the server is still
// stopped before the logger's exception goes on.
void UDPServer::stop() {
    Internals& in = *internals;
    std::exception_ptr logFailure;
    try {
        velmora::Logger::info("[UDPServer] Stopping on port " + std::to_string(in.localPort));
    } catch (...) {
        logFailure = std::current_exception();
    }
    switch (in.claimStop()) {
    case Internals::StopClaim::AlreadyStopped:
        break;
    case Internals::StopClaim::OnWorker:
        // A worker cannot join itself; the workers stay joinable, and the
        // server counts as running until a stop() from another thread joins
        // them.
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "UDPServer::stop called on its own worker thread");
    case Internals::StopClaim::JoinWorker:
        // Sends that wait for room get a short chance to leave; the worker
        // sends them while its loop runs. No new send is accepted now.
        in.sender.drainWaiting(std::chrono::steady_clock::now() + Internals::kStopDrain);
        in.stopWorkers();
        for (int i = 0; i < in.workerCount.load(); ++i) in.workers[i]->join();
        // The workers are gone: nothing they held back may be lost.
        try {
            in.settleWithoutWorker(false);
        } catch (...) {
            if (!logFailure) logFailure = std::current_exception();
        }
        in.endPhase(Internals::Phase::Stopped);
        break;
    }
    if (logFailure) std::rethrow_exception(logFailure);
}

void UDPServer::readCounters(Counters& counters) const {
    const Internals& in = *internals;
    Counters now;
    const int workers = in.workerCount.load(std::memory_order_acquire);
    for (int i = 0; i < workers; ++i) {
        const ReceiveCounters& c = in.workers[i]->counters();
        now.received += c.received.get();
        now.delivered += c.delivered.get();
        now.rejectedForeign += c.rejectedForeign.get();
        now.rejectedEmpty += c.rejectedEmpty.get();
        now.receiveErrors += c.receiveErrors.get();
        now.truncated += c.truncated.get();
        now.droppedBySystem += c.droppedBySystem.get();
        now.rejectedNotForGroup += c.rejectedNotForGroup.get();
        now.rejectedByPolicy += c.rejectedByPolicy.get();
        now.rejectedByLimit += c.rejectedByLimit.get();
        now.wouldLimitDeliveries += c.wouldLimitDeliveries.get();
        now.repliesRateLimited += c.repliesRateLimited.get();
        now.wouldLimitReplies += c.wouldLimitReplies.get();
    }
    in.sender.addTo(now);
    in.unreachables.addTo(now);
    // A caller built against an older header has a shorter struct.
    const std::uint64_t fields = std::min<std::uint64_t>(counters.size, sizeof now);
    if (fields > sizeof now.size) {
        std::memcpy(reinterpret_cast<char*>(&counters) + sizeof now.size,
                    reinterpret_cast<const char*>(&now) + sizeof now.size, fields - sizeof now.size);
    }
}

// Only a stopped server's batch may change: no worker touches it then.
void UDPServer::setMaxDatagramSize(std::uint64_t bytes) {
    Internals& in = *internals;
    if (bytes < 1 || bytes > 65535) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "maximum datagram size " + std::to_string(bytes) +
                                    " is outside 1 to 65535");
    }
    const auto lock = in.lockWhileStopped("the maximum datagram size");
    for (int i = 0; i < in.workerCount.load(); ++i) {
        in.workers[i]->setLayout(static_cast<std::size_t>(bytes));
    }
    in.maxDatagram.store(bytes);
}

// Workers are only added: a socket that left the port group would lose the
// datagrams queued on it.
void UDPServer::setWorkers(int count) {
    Internals& in = *internals;
    if (count < 1 || count > kMaxWorkers) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                std::to_string(count) + " workers is outside 1 to " +
                                    std::to_string(kMaxWorkers));
    }
    if (count > 1 && !in.receiveOnly) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "a peer-mode server has one worker: its one sender would reach "
                                "only one of several");
    }
    if (count > 1 && in.localEndpoint.address().is_multicast()) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "a multicast group member has one worker: the system would hand "
                                "each of several every datagram");
    }
    if (count > 1 && in.adopted && !in.adoptedInGroup) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "the adopted socket is in no SO_REUSEPORT group: no other socket "
                                "can join its port");
    }
    const auto lock = in.lockWhileStopped("the number of workers");
    const int now = in.workerCount.load();
    if (count < now) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "a server's workers are never fewer than " + std::to_string(now) +
                                    ": a socket leaving the port would lose what it holds");
    }
    if (count > now && spreadsPortOverSockets()) in.addWorkers(count);
}

int UDPServer::workers() const {
    return internals->workerCount.load();
}

std::uint64_t UDPServer::maxDatagramSize() const {
    return internals->maxDatagram.load();
}

int UDPServer::localPort() const {
    return internals->boundPort;
}

void UDPServer::setDelegate(UDPServerDelegate* delegate) {
    internals->delegate.store(delegate, std::memory_order_release);
}

UDPServerDelegate* UDPServer::getDelegate() const {
    return internals->delegate.load(std::memory_order_acquire);
}
