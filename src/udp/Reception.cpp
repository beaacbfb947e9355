#include <algorithm>
#include <cstring>

#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"

namespace {

// The record of the server whose datagram the calling thread is delivering,
// if any: what sender(), destination() and reply() may speak of.
thread_local const void* deliveringFor = nullptr;

// Marks the calling thread as delivering for `server` while it exists.
class DeliveryScope {
public:
    explicit DeliveryScope(const void* server) : previous(deliveringFor) {
        deliveringFor = server;
    }
    ~DeliveryScope() { deliveringFor = previous; }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    const void* const previous;
};

}  // namespace

// Delivers the datagrams of the current batch one at a time, sends the
// replies made meanwhile, then either takes the next batch (the last one was
// full, so the socket may hold more) or waits for the socket. The next batch
// is taken in a handler of its own, so send completions get their turn under
// a flood. A stop() between two datagrams leaves the rest in the batch for
// the next start(); the replies made so far still leave.
void UDPServer::receive() {
    Internals& in = *internals;
    while (in.receiving.batch.pending()) {
        if (!in.running.load(std::memory_order_acquire)) break;
        if (in.acceptReceived(*in.receiving.batch.next())) {
            reportMessage(in.receiving.message(), in.receiving.messageSize());
        }
    }
    in.sendReplies();
    if (in.receiving.batch.pending()) return;
    if (!in.receiving.batch.full()) {
        in.armWait(*this);
        return;
    }
    in.receiving.pending = true;
    asio::post(in.ioContext, [this] {
        Internals& in = *internals;
        in.receiving.pending = false;
        in.receiving.batch.clear();
        in.takeBatch();
        receive();
    });
}

// The buffer grows with the largest datagram delivered whole, once.
void ReceivePath::accept(const ReceiveBatch::Slot& received) {
    slot = &received;
    if (messageBuffer.size() < received.size) {
        messageBuffer.resize(std::max(received.size, batch.maxDatagram()));
    }
    std::memcpy(messageBuffer.data(), received.bytes, received.size);
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
    receiving.accept(received);
    return true;
}

bool UDPServer::Internals::deliveringHere() const {
    return deliveringFor == this;
}

// The delegate gets the datagram even if the logger throws on its line; the
// logger's exception goes on afterwards.
void UDPServer::reportMessage(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    FirstFailure logging;
    logging.run([&] {
        in.receiving.receivedLine.assign(in.receivedPrefix);
        in.receiving.receivedLine.append(data, static_cast<std::size_t>(size));
        velmora::Logger::debug(in.receiving.receivedLine);
    });
    if (UDPServerDelegate* delegate = in.delegate.load(std::memory_order_acquire)) {
        const DeliveryScope delivering(&in);
        delegate->messageReceived(data, size);
    }
    logging.rethrow();
}
