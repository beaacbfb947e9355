#include "udp/SendPath.h"

#include <algorithm>
#include <charconv>

#include <asio/error.hpp>

#include "host/Logger.h"
#include "udp/Addressing.h"
#include "udp/FirstFailure.h"
#include "udp/NativeSocket.h"
#include "udp/Sender.h"
#include "udp/SystemErrors.h"
#include "udp/Worker.h"

namespace {

// The copies of sends that wait for room may take as much memory as the
// socket's own send buffer, and at least this.
constexpr std::size_t kMinimumSendQueueBytes = 256 * 1024;

// The worker is woken to log application threads' send outcomes at most once
// in this long: an outcome that comes sooner after the last such wake-up
// waits for the rest of it, with every other that comes meanwhile, rather
// than cost a wake-up of its own.
constexpr std::chrono::microseconds kOutcomeInterval{100};

std::size_t sendQueueLimit(ServerSocket::native_handle_type socket) {
    const int sendBuffer = sendBufferSize(socket);
    return std::max(kMinimumSendQueueBytes, static_cast<std::size_t>(std::max(sendBuffer, 0)));
}

}  // namespace

SendTexts::SendTexts(const asio::ip::udp::endpoint& remote, int localPort)
    : remote(remote),
      toRemote(Route::toward(remote)),
      localPort(localPort),
      remoteText(endpointText(remote)),
      sendingPrefix("[UDPServer] Sending message on port " + std::to_string(localPort) + " to "),
      sendingLine(sendingPrefix + remoteText) {}

const std::string& SendTexts::sendingLineFor(const Route& route, std::string& room) const {
    if (&route == &toRemote) return sendingLine;
    room.assign(sendingPrefix);
    appendPeerText(room, route.to);
    return room;
}

SendPath::SendPath(Worker& worker, ErrorLines& lines, RecentDestinations& recent,
                   const SendTexts& texts)
    : worker(worker),
      lines(lines),
      recent(recent),
      texts(texts),
      copies(sendQueueLimit(worker.nativeSocket())) {
    // The texts may not be built yet: the first worker comes before them.
    sentLine.reserve(128);
}

// Almost always the system takes the datagram at once, from the caller's
// buffer; only the outcome travels to the worker. A thread whose earlier
// send still waits for room queues behind it, keeping its order; so does the
// worker behind the replies it holds.
SendPath::Error SendPath::sendAlong(const Route& route, const std::string& line, const char* data,
                                    std::uint64_t size) {
    velmora::Logger::debug(line);
    recent.note(route.to, std::chrono::steady_clock::now());
    if (!copies.any()) {
        CompletedSends::Outcome outcome{};
        outcome.to = route.to;
        outcome.error = sendWithoutBlocking(worker.nativeSocket(), data,
                                            static_cast<std::size_t>(size), route, outcome.size);
        if (outcome.error != asio::error::would_block) {
            counts.sendsAccepted.add();
            queueSent(&outcome, 1, false);
            return UDPServer::Ok;
        }
    }
    return queueCopy(data, size, route);
}

// As one send after another: the system takes what it has room for, in as
// few calls as it can; once it has no room, the rest wait as copies, behind
// those of other threads.
std::size_t SendPath::sendBatch(const Outgoing* datagrams, std::size_t count, Error& refusal) {
    std::size_t accepted = 0;
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) recent.note(datagrams[i].route->to, now);
    if (!copies.any()) {
        CompletedSends::Outcome outcomes[kMaxBatch];
        accepted = sendBatchWithoutBlocking(worker.nativeSocket(), datagrams, count, segmentation,
                                            outcomes);
        acceptSent(datagrams, outcomes, accepted);
    }
    std::string& line = Sender::lineRoom();
    for (refusal = UDPServer::Ok; refusal == UDPServer::Ok && accepted < count;) {
        const Outgoing& datagram = datagrams[accepted];
        velmora::Logger::debug(texts.sendingLineFor(*datagram.route, line));
        refusal = queueCopy(datagram.data, datagram.size, *datagram.route);
        if (refusal == UDPServer::Ok) ++accepted;
    }
    return accepted;
}

// The "Sending" lines come after the system took the datagrams, so that each
// still precedes its outcome's line on the worker. The outcomes are queued
// even if the logger throws.
void SendPath::acceptSent(const Outgoing* datagrams, const CompletedSends::Outcome* outcomes,
                          std::size_t count) {
    if (count == 0) return;
    FirstFailure failure;
    std::string& line = Sender::lineRoom();
    for (std::size_t i = 0; i < count; ++i) {
        failure.run([&] { velmora::Logger::debug(texts.sendingLineFor(*datagrams[i].route, line)); });
    }
    counts.sendsAccepted.add(count);
    queueSent(outcomes, count, false);
    failure.rethrow();
}

// The send buffer is full: a copy waits for room, so the caller may reuse
// its buffer at once; unless the copies already fill their bound.
SendPath::Error SendPath::queueCopy(const char* data, std::uint64_t size, const Route& route) {
    const WaitingSends::Added added = copies.add(data, static_cast<std::size_t>(size), route);
    if (added == WaitingSends::Added::Refused) return refuseQueueFull();
    counts.sendsAccepted.add();
    if (added == WaitingSends::Added::First) waitForRoom();
    return UDPServer::Ok;
}

SendPath::Error SendPath::refuseQueueFull() {
    counts.sendsQueueFull.add();
    if (const auto line = lines.mayLog()) {
        velmora::Logger::error("[UDPServer] Error: Send queue full on port " +
                               std::to_string(texts.localPort));
    }
    return UDPServer::SendQueueFull;
}

void SendPath::waitForRoom() {
    worker.whenWritable([this](const std::error_code&) { sendWaiting(); });
}

// Sends what waits, oldest first, until the buffer is full again. The
// outcomes join those of the direct sends, to be logged in completion order.
void SendPath::sendWaiting() {
    while (const WaitingSends::Waiting* waiting = copies.front()) {
        CompletedSends::Outcome outcome{};
        outcome.to = waiting->route.to;
        outcome.error = sendWithoutBlocking(worker.nativeSocket(), waiting->bytes.data(),
                                            waiting->bytes.size(), waiting->route, outcome.size);
        if (outcome.error == asio::error::would_block) {
            waitForRoom();
            break;
        }
        copies.pop();
        queueSent(&outcome, 1, true);
    }
    logQueuedSends();
}

void SendPath::queueSent(const CompletedSends::Outcome* outcomes, std::size_t count,
                         bool onWorker) {
    if (count == 0) return;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) failed += outcomes[i].error ? 1 : 0;
    if (failed != 0) {
        counts.sendsFailed.add(failed);
        worker.noteSendFailed();
    }
    if (failed != count) counts.sent.add(count - failed);
    completed.push(outcomes, count);
    // Cleared before the outcomes are taken: one queued after that finds it
    // clear and has them logged again.
    if (onWorker || logScheduled.exchange(true, std::memory_order_acq_rel)) return;
    const auto log = [this] {
        lastScheduledLog.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                               std::memory_order_relaxed);
        logScheduled.store(false, std::memory_order_release);
        logQueuedSends();
    };
    const auto since = std::chrono::steady_clock::now().time_since_epoch() -
                       std::chrono::steady_clock::duration(
                           lastScheduledLog.load(std::memory_order_relaxed));
    if (since >= kOutcomeInterval) {
        worker.wake(log);
    } else {
        worker.wakeAfter(
            std::chrono::duration_cast<std::chrono::microseconds>(kOutcomeInterval - since), log);
    }
}

// A line the logger throws on does not cost the lines after it.
void SendPath::logQueuedSends() {
    completed.takeAll(toLog);
    FirstFailure failure;
    for (const CompletedSends::Outcome& outcome : toLog) {
        failure.run([&] { reportSent(outcome); });
    }
    failure.rethrow();
}

void SendPath::reportSent(const CompletedSends::Outcome& outcome) {
    if (outcome.error) {
        velmora::Logger::error("[UDPServer] Error sending data on port " +
                               std::to_string(texts.localPort) + ": " +
                               standardCode(outcome.error).message());
        return;
    }
    char count[24];
    const auto written = std::to_chars(count, count + sizeof count, outcome.size);
    std::string& line = sentLine;
    static constexpr char kSent[] = "[UDPServer] Sent ";
    line.clear();
    line.append(kSent, sizeof kSent - 1);
    line.append(count, written.ptr);
    line.append(" bytes to ");
    if (sameEndpoint(outcome.to, texts.remote)) {
        line.append(texts.remoteText);
    } else {
        appendPeerText(line, outcome.to);
    }
    velmora::Logger::debug(line);
}

// The reply's room among the copies is reserved now, so that it is refused
// now, not when it is sent, should the copies be full.
SendPath::Error SendPath::holdReply(const char* data, std::uint64_t size, int trafficClass) {
    const ReceiveBatch::Datagram& request = worker.delivered();
    const Route route = Route::replyTo(*request.sender, readArrival(request), trafficClass);
    velmora::Logger::debug(texts.sendingLineFor(route, worker.replyLineRoom()));
    if (!copies.reserve(static_cast<std::size_t>(size))) return refuseQueueFull();
    recent.note(route.to, worker.batchTime());
    counts.sendsAccepted.add();
    worker.heldReplies().add(data, static_cast<std::size_t>(size), route);
    return UDPServer::Ok;
}

// In chunks, as the batch send() does; what the socket has no room for, and
// everything once copies wait (they leave first), waits as copies.
void SendPath::sendReplies() {
    PendingReplies& replies = worker.heldReplies();
    std::size_t next = 0;
    while (next < replies.count() && !copies.any()) {
        Outgoing chunk[kMaxBatch];
        CompletedSends::Outcome outcomes[kMaxBatch];
        const std::size_t described = replies.describe(next, chunk);
        const std::size_t handled = sendBatchWithoutBlocking(worker.nativeSocket(), chunk,
                                                             described, segmentation, outcomes);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < handled; ++i) bytes += static_cast<std::size_t>(chunk[i].size);
        copies.unreserve(bytes, handled);
        next += handled;
        queueSent(outcomes, handled, true);
        if (handled < described) break;
    }
    for (; next < replies.count(); ++next) {
        if (copies.addReserved(replies.data(next), replies.size(next), replies.route(next)) ==
            WaitingSends::Added::First) {
            waitForRoom();
        }
    }
    replies.clear();
    logQueuedSends();
}

std::uint64_t SendPath::discardWaiting() {
    const std::uint64_t discarded = copies.discardAll();
    counts.sendsDiscarded.add(discarded);
    return discarded;
}
