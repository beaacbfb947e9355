#include "udp/Worker.h"

#include <chrono>
#include <exception>

#include <asio/executor_work_guard.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/RaisedWorkers.h"
#include "udp/SenderGate.h"

namespace {

// A batch whose deliveries took this long was not the socket's last word,
// however short it was: datagrams came meanwhile.
constexpr std::chrono::microseconds kLongDelivery{20};

}  // namespace

Worker::Worker(const WorkerShared& shared, const SocketPlan& plan, std::size_t index)
    : shared(shared),
      place(index),
      boundSocket(openBound(ioContext, plan)),
      native(boundSocket.native_handle()),
      receiveBufferBytes(receiveBufferSize(native)),
      waitsInReceive(enableWaitInReceive(boundSocket, kLongestReceiveWait)) {
    receiving.receivedLine.reserve(shared.receivedPrefix.size() + ReceiveBatch::kDefaultDatagram);
    receiving.receivedLine = shared.receivedPrefix;
    path = std::make_unique<SendPath>(*this, shared.lines, shared.recent, shared.texts);
}

Worker::~Worker() = default;

void Worker::start() {
    // A stop() leaves the loop marked stopped; without this the thread would
    // return at once.
    ioContext.restart();
    thread = std::make_unique<std::thread>([this] { run(); });
}

void Worker::join() {
    if (thread && thread->joinable()) thread->join();
}

bool Worker::runsOnThisThread() const {
    return thread && thread->get_id() == std::this_thread::get_id();
}

void Worker::setLayout(std::size_t maxDatagram) {
    if (maxDatagram > ReceiveBatch::kDefaultDatagram && !takesTrains) {
        takesTrains = enableTrains(boundSocket);
    }
    receiving.batch.setLayout(maxDatagram, takesTrains);
}

bool Worker::deliversOnThisThread() const {
    return deliveringOn.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void Worker::run() {
    // Without it, a handler that throws before arming the next wait would
    // leave the loop out of work, and it would stop by itself.
    const auto work = asio::make_work_guard(ioContext);
    for (;;) {
        try {
            // Delivers what an earlier stop() left in the batch, then waits.
            // After a restart the previous thread's wait may still be
            // outstanding; arming another would double it.
            if (!receiving.pending && !held.load()) {
                receive();
            }
            ioContext.run();
            return;
        } catch (const std::exception& e) {
            reportError(e.what());
        } catch (...) {
            reportError("unknown exception");
        }
    }
}

// Delivers the datagrams of the current batch one at a time, sends the
// replies made meanwhile (a chunk at a time as they fill), then goes on to
// the next batch. A worker that found datagrams and can wait in its socket's
// receive takes the next batch there, giving the loop a turn first when it
// is called or has waited long enough. Otherwise the loop takes the next
// batch in a handler of its own, so send completions get their turn under a
// flood, when the last one was full or its deliveries took long enough for
// more to arrive; or it waits for the socket. A stop() between two datagrams
// leaves the rest in the batch for the next start(); the replies made so far
// still leave.
void Worker::receive() {
    lastTurn = std::chrono::steady_clock::now();
    loopCalled.store(false, std::memory_order_relaxed);
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        batchStarted = started;
        while (receiving.batch.pending()) {
            if (!shared.running.load(std::memory_order_acquire)) break;
            const ReceiveBatch::Datagram& datagram = *receiving.batch.next();
            if (shared.admission.admit(datagram, count, shared.lines, place, started)) {
                deliver(datagram);
            }
            // A batch of trains may hold thousands of datagrams: their replies
            // leave a chunk at a time rather than all pile up among the copies.
            if (replies.count() >= kMaxBatch) path->sendReplies();
        }
        if (replies.count() != 0) path->sendReplies();
        shared.gate.release(place);
        if (receiving.batch.pending()) return;
        // A batch shorter than the areas found the socket empty: everything it
        // held at the start has been delivered.
        if (reportsDrained && tookThisRun && !receiving.batch.full()) {
            reportsDrained = false;
            shared.raised.drained(static_cast<int>(place));
        }
        const auto now = std::chrono::steady_clock::now();
        if (waitsInReceive && receiving.batch.filled() != 0 && !reportsDrained) {
            if (loopCalled.load(std::memory_order_acquire) || now - lastTurn >= kLongestReceiveWait) {
                // A report on the error queue wakes no receive once a send
                // took its mark: each turn looks.
                errorsMayWait.store(true, std::memory_order_relaxed);
                takeInTurn();
                return;
            }
            takeAnew(true);
            if (receiving.batch.filled() != 0) continue;
        }
        // A worker that must report an empty socket takes once at the start
        // rather than wait for a datagram that may never come.
        const bool mustLook = reportsDrained && !tookThisRun;
        if (mustLook || receiving.batch.full() || errorsMayWait.load(std::memory_order_relaxed) ||
            now - started >= kLongDelivery) {
            takeInTurn();
        } else {
            armWait();
        }
        return;
    }
}

void Worker::takeInTurn() {
    receiving.pending = true;
    asio::post(ioContext, [this] {
        receiving.pending = false;
        takeAnew(false);
        receive();
    });
}

void Worker::takeAnew(bool waits) {
    receiving.batch.clear();
    takeBatch(waits);
    tookThisRun = true;
}

void Worker::hold(bool untilReleased, bool reportsDrain) {
    held.store(untilReleased);
    reportsDrained = reportsDrain;
    tookThisRun = false;
}

// A release that a stop() overtook runs at the next start, which by then
// has found the worker released and begun it: the exchange lets one begin.
void Worker::release() {
    asio::post(ioContext, [this] {
        if (held.exchange(false) && !receiving.pending) receive();
    });
}

// The delegate gets the datagram even if the logger throws on its line; the
// logger's exception goes on afterwards. The datagram is handed over where it
// lies in the batch: no area is refilled before every datagram has been
// delivered.
void Worker::deliver(const ReceiveBatch::Datagram& datagram) {
    receiving.accept(datagram);
    FirstFailure logging;
    logging.run([&] {
        // The line starts with the prefix, which stays; only the payload
        // changes.
        std::string& line = receiving.receivedLine;
        line.resize(shared.receivedPrefix.size());
        line.append(datagram.bytes, static_cast<std::size_t>(datagram.size));
        velmora::Logger::debug(line);
    });
    if (UDPServerDelegate* delegate = shared.delegate.load(std::memory_order_acquire)) {
        // Marks this worker as delivering for sender(), destination() and
        // reply(), until the call ends, however it ends.
        struct Delivering {
            std::atomic<std::thread::id>& on;
            ~Delivering() { on.store(std::thread::id(), std::memory_order_relaxed); }
        } mark{deliveringOn};
        deliveringOn.store(std::this_thread::get_id(), std::memory_order_relaxed);
        delegate->messageReceived(datagram.bytes, datagram.size);
    }
    logging.rethrow();
}

// A step at a time, as the worker takes them, up to a bound: the queue is
// bounded by the receive buffer, and nothing adds to it while no worker runs
// but the replies settled just before.
void Worker::settleDestinationErrors() {
    constexpr int kMostSteps = 1024;
    int steps = 0;
    do {
        takeDestinationErrors();
    } while (errorsMayWait.load(std::memory_order_relaxed) && ++steps < kMostSteps);
}

void Worker::countSystemDrops(std::uint32_t reading) {
    const std::uint32_t growth = receiving.systemDrops.advance(reading);
    if (growth == 0) return;
    count.droppedBySystem.add(growth);
    shared.lines.addDrops(growth);
}

void Worker::reportError(const char* what) noexcept {
    try {
        velmora::Logger::error("[UDPServer] Error on worker thread on port " +
                               std::to_string(shared.localPort) + ": " + what);
    } catch (...) {
        // The logger itself failed; there is nowhere left to report it.
    }
}
