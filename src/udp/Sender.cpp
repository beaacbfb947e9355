#include "udp/Sender.h"

#include <algorithm>
#include <charconv>

#include <asio/error.hpp>

#include "host/Logger.h"
#include "udp/Addressing.h"
#include "udp/FirstFailure.h"
#include "udp/NativeSocket.h"
#include "udp/SystemErrors.h"
#include "udp/Worker.h"

namespace {

// The copies of sends that wait for room may take as much memory as the
// socket's own send buffer, and at least this.
constexpr std::size_t kMinimumSendQueueBytes = 256 * 1024;

std::size_t sendQueueLimit(ServerSocket::native_handle_type socket) {
    const int sendBuffer = sendBufferSize(socket);
    return std::max(kMinimumSendQueueBytes, static_cast<std::size_t>(std::max(sendBuffer, 0)));
}

}  // namespace

// One per thread, so that a thread that keeps sending stops allocating.
std::string& Sender::lineRoom() {
    thread_local std::string room;
    return room;
}

Sender::Sender(Worker& home, ErrorLines& lines, RecentDestinations& recent,
               const asio::ip::udp::endpoint& remote, int localPort)
    : home(home),
      lines(lines),
      recent(recent),
      remote(remote),
      toRemote(Route::toward(remote)),
      localPort(localPort),
      remoteText(endpointText(remote)),
      sendingPrefix("[UDPServer] Sending message on port " + std::to_string(localPort) + " to "),
      sendingLine(sendingPrefix + remoteText),
      copies(sendQueueLimit(home.nativeSocket())) {
    sentLine.reserve(64 + remoteText.size());
}

// Almost always the system takes the datagram at once, from the caller's
// buffer; only the outcome travels to the worker. A thread whose earlier
// send still waits for room queues behind it, keeping its order; so does the
// worker behind the replies it holds.
Sender::Error Sender::sendAlong(const Route& route, const std::string& line,
                                                 const char* data, std::uint64_t size) {
    velmora::Logger::debug(line);
    recent.note(route.to, std::chrono::steady_clock::now());
    if (!copies.any()) {
        CompletedSends::Outcome outcome{};
        outcome.to = route.to;
        outcome.error = sendWithoutBlocking(home.nativeSocket(), data, static_cast<std::size_t>(size),
                                            route, outcome.size);
        if (outcome.error != asio::error::would_block) {
            counts.sendsAccepted.add();
            queueSent(&outcome, 1, home);
            return UDPServer::Ok;
        }
    }
    return queueCopy(data, size, route);
}

// As one send after another: the system takes what it has room for, in as
// few calls as it can; once it has no room, the rest wait as copies, behind
// those of other threads.
std::size_t Sender::sendBatch(const Outgoing* datagrams, std::size_t count,
                                            Error& refusal) {
    std::size_t accepted = 0;
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) recent.note(datagrams[i].route->to, now);
    if (!copies.any()) {
        CompletedSends::Outcome outcomes[kMaxBatch];
        accepted = sendBatchWithoutBlocking(home.nativeSocket(), datagrams, count, segmentation,
                                            outcomes);
        acceptSent(datagrams, outcomes, accepted);
    }
    std::string& line = lineRoom();
    for (refusal = UDPServer::Ok; refusal == UDPServer::Ok && accepted < count;) {
        const Outgoing& datagram = datagrams[accepted];
        velmora::Logger::debug(sendingLineFor(*datagram.route, line));
        refusal = queueCopy(datagram.data, datagram.size, *datagram.route);
        if (refusal == UDPServer::Ok) ++accepted;
    }
    return accepted;
}

// The "Sending" lines come after the system took the datagrams, so that each
// still precedes its outcome's line on the worker. The outcomes are queued
// even if the logger throws.
void Sender::acceptSent(const Outgoing* datagrams,
                                      const CompletedSends::Outcome* outcomes, std::size_t count) {
    if (count == 0) return;
    FirstFailure failure;
    std::string& line = lineRoom();
    for (std::size_t i = 0; i < count; ++i) {
        failure.run([&] { velmora::Logger::debug(sendingLineFor(*datagrams[i].route, line)); });
    }
    counts.sendsAccepted.add(count);
    queueSent(outcomes, count, home);
    failure.rethrow();
}

const std::string& Sender::sendingLineFor(const Route& route,
                                                        std::string& room) const {
    if (&route == &toRemote) return sendingLine;
    room.assign(sendingPrefix);
    appendPeerText(room, route.to);
    return room;
}

// The send buffer is full: a copy waits for room, so the caller may reuse
// its buffer at once; unless the copies already fill their bound.
Sender::Error Sender::queueCopy(const char* data, std::uint64_t size,
                                                 const Route& route) {
    const WaitingSends::Added added =
        copies.add(data, static_cast<std::size_t>(size), route);
    if (added == WaitingSends::Added::Refused) return refuseQueueFull();
    counts.sendsAccepted.add();
    if (added == WaitingSends::Added::First) waitForRoom();
    return UDPServer::Ok;
}

Sender::Error Sender::refuseQueueFull() {
    counts.sendsQueueFull.add();
    if (const auto line = lines.mayLog()) {
        velmora::Logger::error("[UDPServer] Error: Send queue full on port " +
                               std::to_string(localPort));
    }
    return UDPServer::SendQueueFull;
}

void Sender::waitForRoom() {
    home.whenWritable([this](const std::error_code&) { sendWaiting(); });
}

// Sends what waits, oldest first, until the buffer is full again. The
// outcomes join those of the direct sends, to be logged in completion order.
void Sender::sendWaiting() {
    while (const WaitingSends::Waiting* waiting = copies.front()) {
        CompletedSends::Outcome outcome{};
        outcome.to = waiting->route.to;
        outcome.error = sendWithoutBlocking(home.nativeSocket(), waiting->bytes.data(),
                                            waiting->bytes.size(), waiting->route, outcome.size);
        if (outcome.error == asio::error::would_block) {
            waitForRoom();
            return;
        }
        copies.pop();
        queueSent(&outcome, 1, home);
    }
}

void Sender::queueSent(const CompletedSends::Outcome* outcomes, std::size_t count,
                       Worker& through) {
    if (count == 0) return;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) failed += outcomes[i].error ? 1 : 0;
    if (failed != 0) {
        counts.sendsFailed.add(failed);
        through.noteSendFailed();
    }
    if (failed != count) counts.sent.add(count - failed);
    if (completed.push(outcomes, count)) {
        home.wake([this] { logQueuedSends(); });
    }
}

// A line the logger throws on does not cost the lines after it.
void Sender::logQueuedSends() {
    completed.takeAll(toLog);
    FirstFailure failure;
    for (const CompletedSends::Outcome& outcome : toLog) {
        failure.run([&] { reportSent(outcome); });
    }
    failure.rethrow();
}

void Sender::reportSent(const CompletedSends::Outcome& outcome) {
    if (outcome.error) {
        velmora::Logger::error("[UDPServer] Error sending data on port " + std::to_string(localPort) +
                               ": " + standardCode(outcome.error).message());
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
    if (sameEndpoint(outcome.to, remote)) {
        line.append(remoteText);
    } else {
        appendPeerText(line, outcome.to);
    }
    velmora::Logger::debug(line);
}

// The reply's room among the copies is reserved now, so that it is refused
// now, not when it is sent, should the copies be full.
Sender::Error Sender::holdReply(Worker& worker, const char* data, std::uint64_t size,
                               int trafficClass) {
    const ReceiveBatch::Datagram& request = worker.delivered();
    const Route route = Route::replyTo(*request.sender, readArrival(request), trafficClass);
    velmora::Logger::debug(sendingLineFor(route, worker.replyLineRoom()));
    if (!copies.reserve(static_cast<std::size_t>(size))) return refuseQueueFull();
    recent.note(route.to, worker.batchTime());
    counts.sendsAccepted.add();
    worker.heldReplies().add(data, static_cast<std::size_t>(size), route);
    return UDPServer::Ok;
}

// In chunks, as the batch send() does; what the socket has no room for, and
// everything once copies wait (they leave first), waits as copies.
void Sender::sendReplies(Worker& worker) {
    PendingReplies& replies = worker.heldReplies();
    std::size_t next = 0;
    while (next < replies.count() && !copies.any()) {
        Outgoing chunk[kMaxBatch];
        CompletedSends::Outcome outcomes[kMaxBatch];
        const std::size_t described = replies.describe(next, chunk);
        const std::size_t handled =
            sendBatchWithoutBlocking(worker.nativeSocket(), chunk, described, segmentation, outcomes);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < handled; ++i) bytes += static_cast<std::size_t>(chunk[i].size);
        copies.unreserve(bytes, handled);
        next += handled;
        queueSent(outcomes, handled, worker);
        if (handled < described) break;
    }
    for (; next < replies.count(); ++next) {
        if (copies.addReserved(replies.data(next), replies.size(next),
                                        replies.route(next)) == WaitingSends::Added::First) {
            waitForRoom();
        }
    }
    replies.clear();
}

void Sender::discardWaiting() {
    const std::uint64_t discarded = copies.discardAll();
    if (discarded == 0) return;
    counts.sendsDiscarded.add(discarded);
    velmora::Logger::error("[UDPServer] Discarded " + std::to_string(discarded) +
                           " waiting datagrams on port " + std::to_string(localPort));
}
