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

// Once a window has held a line back, every line is held until the timer
// reports the count at the window's end: a count, nothing more. The first one
// held back sets that timer.
bool UDPServer::Internals::mayLogNetworkError() {
    if (errorBudget.spent()) {
        errorBudget.holdBack();
        return false;
    }
    const bool mayLog = errorBudget.admit(ErrorLineBudget::Clock::now());
    if (!mayLog) {
        heldLinesTimer.expires_at(errorBudget.windowEnd());
        heldLinesTimer.async_wait([this](const std::error_code& error) {
            // A wait that expired before a stop() runs only after the next
            // start(); it must leave a newer window's count to that window.
            if (!error && ErrorLineBudget::Clock::now() >= errorBudget.windowEnd()) {
                reportHeldLines();
            }
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
