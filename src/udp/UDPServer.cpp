#include <exception>

#include <asio/executor_work_guard.hpp>

#include "host/Logger.h"
#include "udp/Internals.h"

UDPServerDelegate::~UDPServerDelegate() = default;

UDPServer::UDPServer(int localPort) : internals(std::make_unique<Internals>(localPort)) {}

UDPServer::UDPServer(const std::string& remoteAddress, int remotePort, int localPort)
    : internals(std::make_unique<Internals>(remoteAddress, remotePort, localPort)) {}

UDPServer::~UDPServer() {
    stop();
}

void UDPServer::start() {
    Internals& in = *internals;
    // A worker stopped from inside messageReceived is not joined yet: replacing
    // its thread object would end the process, so it counts as running.
    if (in.running.load() || (in.thread && in.thread->joinable())) {
        velmora::Logger::error("[UDPServer] Error: Trying to start a running UDP server");
        return;
    }
    velmora::Logger::info("[UDPServer] Starting on port " + std::to_string(in.localPort));
    // stop() leaves the loop marked stopped; without this a restarted worker
    // would return at once.
    in.ioContext.restart();
    // Running before the worker exists, so it delivers at once and a delegate
    // may answer the very first datagram.
    in.running.store(true);
    try {
        in.thread = std::make_unique<std::thread>([this] { run(); });
    } catch (...) {
        in.running.store(false);
        throw;
    }
}

void UDPServer::stop() {
    Internals& in = *internals;
    velmora::Logger::info("[UDPServer] Stopping on port " + std::to_string(in.localPort));
    in.running.store(false);
    in.ioContext.stop();
    if (in.thread && in.thread->joinable()) {
        in.thread->join();
    }
    // The worker is gone: nothing it held back may be lost.
    in.heldLinesTimer.cancel();
    in.reportHeldLines();
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
            if (!in.receivePending) {
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
