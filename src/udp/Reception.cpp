#include <cstring>

#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/Internals.h"

// Delivers the datagrams of the current batch one at a time, then either
// takes the next batch (the last one was full, so the socket may hold more)
// or waits for the socket. The next batch is taken in a handler of its own,
// so send completions get their turn under a flood. A stop() between two
// datagrams leaves the rest in the batch for the next start().
void UDPServer::receive() {
    Internals& in = *internals;
    while (in.batch.pending()) {
        if (!in.running.load(std::memory_order_acquire)) return;
        if (in.acceptReceived(*in.batch.next())) {
            reportMessage(in.messageBuffer.data(), in.messageSize);
        }
    }
    if (!in.batch.full()) {
        in.armWait(*this);
        return;
    }
    in.receivePending = true;
    asio::post(in.ioContext, [this] {
        Internals& in = *internals;
        in.receivePending = false;
        in.batch.clear();
        in.takeBatch();
        receive();
    });
}

bool UDPServer::Internals::acceptReceived(const ReceiveBatch::Slot& received) {
    if (received.error) {
        if (mayLogNetworkError()) {
            velmora::Logger::error("[UDPServer] Error receiving data on port " +
                                   std::to_string(localPort) + ": " + received.error.message());
        }
        return false;
    }
    // The sender is judged before the length: an empty datagram from a
    // foreign sender is reported as foreign.
    if (!receiveOnly && !sameEndpoint(received.sender, remoteEndpoint)) {
        if (mayLogNetworkError()) {
            velmora::Logger::error("[UDPServer] Remote sender endpoint " +
                                   endpointText(received.sender) +
                                   " is different than specified: " + remoteText);
        }
        return false;
    }
    if (received.size == 0) {
        if (mayLogNetworkError()) velmora::Logger::error("[UDPServer] Zero bytes received");
        return false;
    }
    messageSize = received.size;
    std::memcpy(messageBuffer.data(), received.bytes, received.size);
    return true;
}

// A line held back costs a clock read and a count. The first one held back
// in a window sets the timer that reports the count once the window ends.
bool UDPServer::Internals::mayLogNetworkError() {
    std::uint64_t endedHeld = 0;
    const bool mayLog = errorBudget.admit(ErrorLineBudget::Clock::now(), endedHeld);
    if (endedHeld != 0) logHeldLines(endedHeld);
    if (!mayLog && errorBudget.held() == 1) {
        heldLinesTimer.expires_at(errorBudget.windowEnd());
        heldLinesTimer.async_wait([this](const std::error_code& error) {
            if (!error) reportHeldLines();
        });
    }
    return mayLog;
}

void UDPServer::Internals::reportHeldLines() {
    if (const std::uint64_t held = errorBudget.takeHeld()) logHeldLines(held);
}

void UDPServer::Internals::logHeldLines(std::uint64_t held) const {
    velmora::Logger::error("[UDPServer] Suppressed " + std::to_string(held) +
                           " similar error lines on port " + std::to_string(localPort));
}

void UDPServer::reportMessage(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    in.receivedLine.assign(in.receivedPrefix);
    in.receivedLine.append(data, static_cast<std::size_t>(size));
    velmora::Logger::debug(in.receivedLine);
    if (UDPServerDelegate* delegate = in.delegate.load(std::memory_order_acquire)) {
        delegate->messageReceived(data, size);
    }
}
