#include <charconv>
#include <vector>

#include <asio/bind_allocator.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>

#include "host/Logger.h"
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
    // send is still waiting for room queues behind it, keeping its order.
    if (in.waitingSends.load(std::memory_order_acquire) == 0) {
        std::size_t sent = 0;
        const std::error_code error =
            sendWithoutBlocking(in.nativeSocket, data, size, in.remoteEndpoint, sent);
        if (error != asio::error::would_block) {
            in.queueSent(error, sent);
            return Ok;
        }
    }

    // The send buffer is full: the event loop sends a copy of the bytes once
    // there is room, so the caller may reuse its buffer at once.
    std::vector<char> payload(data, data + size);
    const asio::const_buffer bytes(payload.data(), payload.size());
    in.waitingSends.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> lock(in.socketMutex);
    in.socket.async_send_to(bytes, in.remoteEndpoint,
                            [this, payload = std::move(payload)](const std::error_code& error,
                                                                 std::size_t sent) {
                                internals->waitingSends.fetch_sub(1, std::memory_order_acq_rel);
                                internals->reportSent(error, sent);
                            });
    return Ok;
}

void UDPServer::Internals::queueSent(const std::error_code& error, std::size_t size) {
    if (completedSends.push({error, size})) {
        asio::post(ioContext, asio::bind_allocator(WakeAllocator<char>(wakeRoom),
                                                   [this] { logQueuedSends(); }));
    }
}

void UDPServer::Internals::logQueuedSends() {
    completedSends.takeAll(sendsToLog);
    for (const CompletedSends::Outcome& outcome : sendsToLog) {
        reportSent(outcome.error, outcome.size);
    }
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
