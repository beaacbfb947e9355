#include <cstring>

#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
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
    counters.received.add();
    if (received.error) {
        counters.receiveErrors.add();
        if (mayLogError()) {
            velmora::Logger::error("[UDPServer] Error receiving data on port " +
                                   std::to_string(localPort) + ": " + received.error.message());
        }
        return false;
    }
    // The sender is judged before the length: an empty datagram from a
    // foreign sender is reported as foreign.
    if (!receiveOnly && !sameEndpoint(received.sender, remoteEndpoint)) {
        counters.rejectedForeign.add();
        if (mayLogError()) {
            velmora::Logger::error("[UDPServer] Remote sender endpoint " +
                                   endpointText(received.sender) +
                                   " is different than specified: " + remoteText);
        }
        return false;
    }
    if (received.size == 0) {
        counters.rejectedEmpty.add();
        if (mayLogError()) velmora::Logger::error("[UDPServer] Zero bytes received");
        return false;
    }
    counters.delivered.add();
    if (received.truncated) counters.truncated.add();
    messageSize = received.size;
    std::memcpy(messageBuffer.data(), received.bytes, received.size);
    return true;
}

// The delegate gets the datagram even if the logger throws on its line; the
// logger's exception goes on afterwards.
void UDPServer::reportMessage(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    FirstFailure logging;
    logging.run([&] {
        in.receivedLine.assign(in.receivedPrefix);
        in.receivedLine.append(data, static_cast<std::size_t>(size));
        velmora::Logger::debug(in.receivedLine);
    });
    if (UDPServerDelegate* delegate = in.delegate.load(std::memory_order_acquire)) {
        delegate->messageReceived(data, size);
    }
    logging.rethrow();
}
