#include <algorithm>
#include <charconv>
#include <vector>

#include <asio/bind_allocator.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/BatchSend.h"
#include "udp/EndpointConversion.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"
#include "udp/NativeSocket.h"
#include "udp/SystemErrors.h"

namespace {

// Room for the "Sending" lines of sends to destinations of the caller's, one
// per thread, so that a thread that keeps sending stops allocating.
std::string& lineRoom() {
    thread_local std::string room;
    return room;
}

}  // namespace

UDPServer::Error UDPServer::send(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseSending();
    if (refusal != Ok) return refusal;
    return in.sendAlong(in.remoteRoute, in.sendingLine, data, size);
}

UDPServer::Error UDPServer::sendTo(const Endpoint& to, const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseAddressed(EndpointConversion::sendable(to));
    if (refusal != Ok) return refusal;
    const Route route =
        Route::toward(EndpointConversion::toSocket(to, in.localEndpoint.protocol()));
    std::string& line = lineRoom();
    return in.sendAlong(route, in.sendingLineFor(route, line), data, size);
}

std::size_t UDPServer::send(const Datagram* datagrams, std::size_t count, Error* refusal) {
    Internals& in = *internals;
    Error result = count == 0 ? Ok : in.refuseSending();
    std::size_t accepted = 0;
    while (result == Ok && accepted < count) {
        Outgoing chunk[kMaxBatch];
        const std::size_t n = std::min(count - accepted, kMaxBatch);
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = {datagrams[accepted + i].data, datagrams[accepted + i].size, &in.remoteRoute};
        }
        const std::size_t sent = in.sendBatch(chunk, n, result);
        accepted += sent;
    }
    if (refusal) *refusal = result;
    return accepted;
}

// Each chunk goes as far as its first destination that sendTo() would refuse.
std::size_t UDPServer::sendTo(const AddressedDatagram* datagrams, std::size_t count,
                              Error* refusal) {
    Internals& in = *internals;
    Error result = count == 0 ? Ok : in.refuseAddressed(true);
    std::size_t accepted = 0;
    while (result == Ok && accepted < count) {
        Route routes[kMaxBatch];
        Outgoing chunk[kMaxBatch];
        const std::size_t n = std::min(count - accepted, kMaxBatch);
        std::size_t valid = 0;
        for (; valid < n; ++valid) {
            const AddressedDatagram& datagram = datagrams[accepted + valid];
            if (!EndpointConversion::sendable(datagram.to)) break;
            routes[valid].to = EndpointConversion::toSocket(datagram.to, in.localEndpoint.protocol());
            chunk[valid] = {datagram.data, datagram.size, &routes[valid]};
        }
        accepted += in.sendBatch(chunk, valid, result);
        if (result == Ok && valid < n) result = in.refuseAddressed(false);
    }
    if (refusal) *refusal = result;
    return accepted;
}

UDPServer::Error UDPServer::Internals::refuseSending() {
    if (receiveOnly) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on receive-only UDP server");
        return ReceiveOnly;
    }
    if (!running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (isUnspecified(remoteEndpoint.address())) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    return Ok;
}

UDPServer::Error UDPServer::Internals::refuseAddressed(bool sendable) {
    if (!running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (!sendable) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    return Ok;
}

// Almost always the system takes the datagram at once, from the caller's
// buffer; only the outcome travels to the worker. A thread whose earlier
// send still waits for room queues behind it, keeping its order; so does the
// worker behind the replies it holds.
UDPServer::Error UDPServer::Internals::sendAlong(const Route& route, const std::string& line,
                                                 const char* data, std::uint64_t size) {
    if (deliveringHere()) sendReplies();
    velmora::Logger::debug(line);
    if (!sending.waiting.any()) {
        CompletedSends::Outcome outcome{};
        outcome.to = route.to;
        outcome.error = sendWithoutBlocking(nativeSocket, data, static_cast<std::size_t>(size),
                                            route, outcome.size);
        if (outcome.error != asio::error::would_block) {
            counters.sendsAccepted.add();
            queueSent(&outcome, 1);
            return Ok;
        }
    }
    return queueCopy(data, size, route);
}

// As one send after another: the system takes what it has room for, in as
// few calls as it can; once it has no room, the rest wait as copies, behind
// those of other threads.
std::size_t UDPServer::Internals::sendBatch(const Outgoing* datagrams, std::size_t count,
                                            Error& refusal) {
    if (deliveringHere()) sendReplies();
    std::size_t accepted = 0;
    if (!sending.waiting.any()) {
        CompletedSends::Outcome outcomes[kMaxBatch];
        accepted = sendBatchWithoutBlocking(nativeSocket, datagrams, count, sending.segmentation,
                                            outcomes);
        acceptSent(datagrams, outcomes, accepted);
    }
    std::string& line = lineRoom();
    for (refusal = Ok; refusal == Ok && accepted < count;) {
        const Outgoing& datagram = datagrams[accepted];
        velmora::Logger::debug(sendingLineFor(*datagram.route, line));
        refusal = queueCopy(datagram.data, datagram.size, *datagram.route);
        if (refusal == Ok) ++accepted;
    }
    return accepted;
}

// The "Sending" lines come after the system took the datagrams, so that each
// still precedes its outcome's line on the worker. The outcomes are queued
// even if the logger throws.
void UDPServer::Internals::acceptSent(const Outgoing* datagrams,
                                      const CompletedSends::Outcome* outcomes, std::size_t count) {
    if (count == 0) return;
    FirstFailure failure;
    std::string& line = lineRoom();
    for (std::size_t i = 0; i < count; ++i) {
        failure.run([&] { velmora::Logger::debug(sendingLineFor(*datagrams[i].route, line)); });
    }
    counters.sendsAccepted.add(count);
    queueSent(outcomes, count);
    failure.rethrow();
}

const std::string& UDPServer::Internals::sendingLineFor(const Route& route,
                                                        std::string& room) const {
    if (&route == &remoteRoute) return sendingLine;
    room.assign(sendingPrefix);
    appendPeerText(room, route.to);
    return room;
}

// The send buffer is full: a copy waits for room, so the caller may reuse
// its buffer at once; unless the copies already fill their bound.
UDPServer::Error UDPServer::Internals::queueCopy(const char* data, std::uint64_t size,
                                                 const Route& route) {
    const WaitingSends::Added added =
        sending.waiting.add(data, static_cast<std::size_t>(size), route);
    if (added == WaitingSends::Added::Refused) return refuseQueueFull();
    counters.sendsAccepted.add();
    if (added == WaitingSends::Added::First) waitForRoom();
    return Ok;
}

UDPServer::Error UDPServer::Internals::refuseQueueFull() {
    counters.sendsQueueFull.add();
    if (const auto line = mayLogError()) {
        velmora::Logger::error("[UDPServer] Error: Send queue full on port " +
                               std::to_string(localPort));
    }
    return SendQueueFull;
}

void UDPServer::Internals::waitForRoom() {
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_wait(asio::socket_base::wait_write,
                      [this](const std::error_code&) { sendWaiting(); });
}

// Sends what waits, oldest first, until the buffer is full again. The
// outcomes join those of the direct sends, to be logged in completion order.
void UDPServer::Internals::sendWaiting() {
    while (const WaitingSends::Waiting* waiting = sending.waiting.front()) {
        CompletedSends::Outcome outcome{};
        outcome.to = waiting->route.to;
        outcome.error = sendWithoutBlocking(nativeSocket, waiting->bytes.data(),
                                            waiting->bytes.size(), waiting->route, outcome.size);
        if (outcome.error == asio::error::would_block) {
            waitForRoom();
            return;
        }
        sending.waiting.pop();
        queueSent(&outcome, 1);
    }
}

void UDPServer::Internals::queueSent(const CompletedSends::Outcome* outcomes, std::size_t count) {
    if (count == 0) return;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) failed += outcomes[i].error ? 1 : 0;
    if (failed != 0) counters.sendsFailed.add(failed);
    if (failed != count) counters.sent.add(count - failed);
    if (sending.completed.push(outcomes, count)) {
        asio::post(ioContext, asio::bind_allocator(WakeAllocator<char>(wakeRoom),
                                                   [this] { logQueuedSends(); }));
    }
}

// A line the logger throws on does not cost the lines after it.
void UDPServer::Internals::logQueuedSends() {
    sending.completed.takeAll(sending.toLog);
    FirstFailure failure;
    for (const CompletedSends::Outcome& outcome : sending.toLog) {
        failure.run([&] { reportSent(outcome); });
    }
    failure.rethrow();
}

void UDPServer::Internals::reportSent(const CompletedSends::Outcome& outcome) {
    if (outcome.error) {
        velmora::Logger::error("[UDPServer] Error sending data on port " + std::to_string(localPort) +
                               ": " + standardCode(outcome.error).message());
        return;
    }
    char count[24];
    const auto written = std::to_chars(count, count + sizeof count, outcome.size);
    std::string& line = sending.sentLine;
    line.assign("[UDPServer] Sent ");
    line.append(count, written.ptr);
    line.append(" bytes to ");
    if (sameEndpoint(outcome.to, remoteEndpoint)) {
        line.append(remoteText);
    } else {
        appendPeerText(line, outcome.to);
    }
    velmora::Logger::debug(line);
}
