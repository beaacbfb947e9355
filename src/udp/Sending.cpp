#include <algorithm>
#include <charconv>
#include <vector>

#include <asio/bind_allocator.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/BatchSend.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"
#include "udp/NativeSocket.h"

UDPServer::Error UDPServer::send(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseSending();
    if (refusal != Ok) return refusal;
    velmora::Logger::debug(in.sendingLine);

    // Almost always the system takes the datagram at once, from the caller's
    // buffer; only the outcome travels to the worker. A thread whose earlier
    // send still waits for room queues behind it, keeping its order.
    if (!in.waitingSends.any()) {
        CompletedSends::Outcome outcome{};
        outcome.error = sendWithoutBlocking(in.nativeSocket, data, static_cast<std::size_t>(size),
                                            in.remoteEndpoint, outcome.size);
        if (outcome.error != asio::error::would_block) {
            in.counters.sendsAccepted.add();
            in.queueSent(&outcome, 1);
            return Ok;
        }
    }
    return in.queueCopy(data, size);
}

std::size_t UDPServer::send(const Datagram* datagrams, std::size_t count, Error* refusal) {
    Internals& in = *internals;
    Error result = count == 0 ? Ok : in.refuseSending();
    std::size_t accepted = 0;
    // As one send() after another: the system takes what it has room for,
    // in as few calls as it can; once it has no room, the rest wait as
    // copies, behind those of other threads.
    while (result == Ok && accepted < count && !in.waitingSends.any()) {
        const std::size_t chunk = std::min(count - accepted, kMaxBatch);
        CompletedSends::Outcome outcomes[kMaxBatch];
        const std::size_t handled =
            sendBatchWithoutBlocking(in.nativeSocket, datagrams + accepted, chunk,
                                     in.remoteEndpoint, in.segmentation, outcomes);
        accepted += handled;
        in.acceptSent(outcomes, handled);
        if (handled < chunk) break;
    }
    while (result == Ok && accepted < count) {
        velmora::Logger::debug(in.sendingLine);
        result = in.queueCopy(datagrams[accepted].data, datagrams[accepted].size);
        if (result == Ok) ++accepted;
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

// The "Sending" lines come after the system took the datagrams, so that each
// still precedes its outcome's line on the worker. The outcomes are queued
// even if the logger throws.
void UDPServer::Internals::acceptSent(const CompletedSends::Outcome* outcomes, std::size_t count) {
    if (count == 0) return;
    FirstFailure failure;
    for (std::size_t i = 0; i < count; ++i) {
        failure.run([&] { velmora::Logger::debug(sendingLine); });
    }
    counters.sendsAccepted.add(count);
    queueSent(outcomes, count);
    failure.rethrow();
}

// The send buffer is full: a copy waits for room, so the caller may reuse
// its buffer at once; unless the copies already fill their bound.
UDPServer::Error UDPServer::Internals::queueCopy(const char* data, std::uint64_t size) {
    const WaitingSends::Added added = waitingSends.add(data, static_cast<std::size_t>(size));
    if (added == WaitingSends::Added::Refused) {
        counters.sendsQueueFull.add();
        if (mayLogError()) {
            velmora::Logger::error("[UDPServer] Error: Send queue full on port " +
                                   std::to_string(localPort));
        }
        return SendQueueFull;
    }
    counters.sendsAccepted.add();
    if (added == WaitingSends::Added::First) waitForRoom();
    return Ok;
}

void UDPServer::Internals::waitForRoom() {
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_wait(asio::socket_base::wait_write,
                      [this](const std::error_code&) { sendWaiting(); });
}

// Sends what waits, oldest first, until the buffer is full again. The
// outcomes join those of the direct sends, to be logged in completion order.
void UDPServer::Internals::sendWaiting() {
    while (const std::vector<char>* bytes = waitingSends.front()) {
        CompletedSends::Outcome outcome{};
        outcome.error = sendWithoutBlocking(nativeSocket, bytes->data(), bytes->size(),
                                            remoteEndpoint, outcome.size);
        if (outcome.error == asio::error::would_block) {
            waitForRoom();
            return;
        }
        waitingSends.pop();
        queueSent(&outcome, 1);
    }
}

void UDPServer::Internals::queueSent(const CompletedSends::Outcome* outcomes, std::size_t count) {
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) failed += outcomes[i].error ? 1 : 0;
    if (failed != 0) counters.sendsFailed.add(failed);
    if (failed != count) counters.sent.add(count - failed);
    if (completedSends.push(outcomes, count)) {
        asio::post(ioContext, asio::bind_allocator(WakeAllocator<char>(wakeRoom),
                                                   [this] { logQueuedSends(); }));
    }
}

// A line the logger throws on does not cost the lines after it.
void UDPServer::Internals::logQueuedSends() {
    completedSends.takeAll(sendsToLog);
    FirstFailure failure;
    for (const CompletedSends::Outcome& outcome : sendsToLog) {
        failure.run([&] { reportSent(outcome.error, outcome.size); });
    }
    failure.rethrow();
}

void UDPServer::Internals::reportSent(const std::error_code& error, std::size_t size) {
    if (error) {
        velmora::Logger::error("[UDPServer] Error sending data on port " + std::to_string(localPort) +
                               ": " + error.message());
        return;
    }
    char count[24];
    const auto written = std::to_chars(count, count + sizeof count, size);
    sentLine.assign("[UDPServer] Sent ");
    sentLine.append(count, written.ptr);
    sentLine.append(" bytes to ");
    sentLine.append(remoteText);
    velmora::Logger::debug(sentLine);
}
