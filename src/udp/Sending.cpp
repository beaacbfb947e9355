#include <charconv>
#include <vector>

#include <asio/bind_allocator.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"
#include "udp/NativeSocket.h"

UDPServer::Error UDPServer::send(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    if (in.receiveOnly) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on receive-only UDP server");
        return ReceiveOnly;
    }
    if (!in.running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (isUnspecified(in.remoteEndpoint.address())) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    velmora::Logger::debug(in.sendingLine);

    // Almost always the system takes the datagram at once, from the caller's
    // buffer; only the outcome travels to the worker. A thread whose earlier
    // send still waits for room queues behind it, keeping its order.
    if (!in.waitingSends.any()) {
        std::size_t sent = 0;
        const std::error_code error =
            sendWithoutBlocking(in.nativeSocket, data, size, in.remoteEndpoint, sent);
        if (error != asio::error::would_block) {
            in.counters.sendsAccepted.add();
            in.queueSent(error, sent);
            return Ok;
        }
    }
    // The send buffer is full: a copy waits for room, so the caller may reuse
    // its buffer at once; unless the copies already fill their bound.
    const WaitingSends::Added added = in.waitingSends.add(data, static_cast<std::size_t>(size));
    if (added == WaitingSends::Added::Refused) {
        in.counters.sendsQueueFull.add();
        if (in.mayLogError()) {
            velmora::Logger::error("[UDPServer] Error: Send queue full on port " +
                                   std::to_string(in.localPort));
        }
        return SendQueueFull;
    }
    in.counters.sendsAccepted.add();
    if (added == WaitingSends::Added::First) in.waitForRoom();
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
        std::size_t sent = 0;
        const std::error_code error =
            sendWithoutBlocking(nativeSocket, bytes->data(), bytes->size(), remoteEndpoint, sent);
        if (error == asio::error::would_block) {
            waitForRoom();
            return;
        }
        waitingSends.pop();
        queueSent(error, sent);
    }
}

void UDPServer::Internals::queueSent(const std::error_code& error, std::size_t size) {
    (error ? counters.sendsFailed : counters.sent).add();
    if (completedSends.push({error, size})) {
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
