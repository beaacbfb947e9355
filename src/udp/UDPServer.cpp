#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <system_error>

#include <asio/executor_work_guard.hpp>

#include "host/Logger.h"
#include "udp/Internals.h"
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
        in.discardWaiting();
        velmora::Logger::info("[UDPServer] Starting on port " + std::to_string(in.localPort));
        // stop() leaves the loop marked stopped; without this a restarted
        // worker would return at once.
        in.ioContext.restart();
        // Running before the worker exists, so it delivers at once and a
        // delegate may answer the very first datagram.
        in.running.store(true);
        in.thread = std::make_unique<std::thread>([this] { run(); });
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
        // The worker cannot join itself; it stays joinable, and the server
        // counts as running until a stop() from another thread joins it.
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "UDPServer::stop called on its own worker thread");
    case Internals::StopClaim::JoinWorker:
        // Sends that wait for room get a short chance to leave; the worker
        // sends them while its loop runs. No new send is accepted now.
        in.sending.waiting.waitUntilEmpty(std::chrono::steady_clock::now() + Internals::kStopDrain);
        in.ioContext.stop();
        in.thread->join();
        // The worker is gone: nothing it held back may be lost.
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
    const ServerCounters& c = in.counters;
    Counters now;
    now.received = c.received.get();
    now.delivered = c.delivered.get();
    now.rejectedForeign = c.rejectedForeign.get();
    now.rejectedEmpty = c.rejectedEmpty.get();
    now.receiveErrors = c.receiveErrors.get();
    now.truncated = c.truncated.get();
    now.droppedBySystem = c.droppedBySystem.get();
    now.sendsAccepted = c.sendsAccepted.get();
    now.sent = c.sent.get();
    now.sendsFailed = c.sendsFailed.get();
    now.sendsDiscarded = c.sendsDiscarded.get();
    now.sendsQueueFull = c.sendsQueueFull.get();
    now.waitingDatagrams = in.sending.waiting.waitingDatagrams();
    now.waitingBytes = in.sending.waiting.waitingBytes();
    now.rejectedNotForGroup = c.rejectedNotForGroup.get();
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
    std::lock_guard<std::mutex> lock(in.lifecycleMutex);
    if (in.phase != Internals::Phase::Stopped) {
        throw std::system_error(std::make_error_code(std::errc::operation_in_progress),
                                "the maximum datagram size is set while the server is stopped");
    }
    if (bytes > ReceiveBatch::kDefaultDatagram && !in.takesTrains) {
        in.takesTrains = enableTrains(in.socket);
    }
    in.receiving.batch.setLayout(static_cast<std::size_t>(bytes), in.takesTrains);
    in.maxDatagram.store(bytes);
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

// The worker's body. An exception that leaves a handler (from the delegate or
// the logger) is logged, the reception it interrupted goes on, and so does
// the loop; run() returns only once the loop has been stopped.
void UDPServer::run() {
    Internals& in = *internals;
    // Without it, a handler that throws before arming the next wait would
    // leave the loop out of work, and it would stop by itself.
    const auto work = asio::make_work_guard(in.ioContext);
    for (;;) {
        try {
            // Delivers what an earlier stop() left in the batch, then waits.
            // After a restart the previous worker's wait may still be
            // outstanding; arming another would double it.
            if (!in.receiving.pending) {
                receive();
            }
            in.ioContext.run();
            return;
        } catch (const std::exception& e) {
            in.reportWorkerError(e.what());
        } catch (...) {
            in.reportWorkerError("unknown exception");
        }
    }
}
