#include <chrono>
#include <thread>

#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"
#include "udp/SystemErrors.h"

namespace {

// A batch whose deliveries took this long was not the socket's last word,
// however short it was: datagrams came meanwhile.
constexpr std::chrono::microseconds kLongDelivery{20};

// Whether a datagram sent to `to` was sent to `group`, whatever the scope
// either carries.
bool sameGroup(const asio::ip::address& to, const asio::ip::address& group) {
    if (to.is_v4() != group.is_v4()) return false;
    if (to.is_v4()) return to.to_v4() == group.to_v4();
    return to.to_v6().to_bytes() == group.to_v6().to_bytes();
}

}  // namespace

// Delivers the datagrams of the current batch one at a time, sends the
// replies made meanwhile (a chunk at a time as they fill), then either takes
// the next batch (the last one was full, or its deliveries took long enough
// for more to arrive) or waits for the socket. The next batch is taken in a
// handler of its own, so send completions get their turn under a flood. A
// stop() between two datagrams leaves the rest in the batch for the next
// start(); the replies made so far still leave.
void UDPServer::receive() {
    Internals& in = *internals;
    const auto started = std::chrono::steady_clock::now();
    while (in.receiving.batch.pending()) {
        if (!in.running.load(std::memory_order_acquire)) break;
        if (in.acceptReceived(*in.receiving.batch.next())) {
            reportMessage(in.receiving.message(), in.receiving.messageSize());
        }
        // A batch of trains may hold thousands of datagrams: their replies
        // leave a chunk at a time rather than all pile up among the copies.
        if (in.sending.replies.count() >= kMaxBatch) in.sendReplies();
    }
    in.sendReplies();
    if (in.receiving.batch.pending()) return;
    if (!in.receiving.batch.full() &&
        std::chrono::steady_clock::now() - started < kLongDelivery) {
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

bool UDPServer::Internals::acceptReceived(const ReceiveBatch::Datagram& received) {
    counters.received.add();
    if (received.error) {
        counters.receiveErrors.add();
        if (const auto line = mayLogError()) {
            velmora::Logger::error("[UDPServer] Error receiving data on port " +
                                   std::to_string(localPort) + ": " +
                                   standardCode(received.error).message());
        }
        return false;
    }
    if (!forThisServer(received)) {
        counters.rejectedNotForGroup.add();
        if (const auto line = mayLogError()) {
            velmora::Logger::error("[UDPServer] Datagram sent to " +
                                   readArrival(received).to.to_string() + ", not to the group " +
                                   localEndpoint.address().to_string() + " on port " +
                                   std::to_string(localPort));
        }
        return false;
    }
    // The sender is judged before the length: an empty datagram from a
    // foreign sender is reported as foreign.
    if (!receiveOnly && !sameEndpoint(*received.sender, remoteEndpoint)) {
        counters.rejectedForeign.add();
        if (const auto line = mayLogError()) {
            velmora::Logger::error("[UDPServer] Remote sender endpoint " +
                                   endpointText(*received.sender) +
                                   " is different than specified: " + remoteText);
        }
        return false;
    }
    if (received.size == 0) {
        counters.rejectedEmpty.add();
        if (const auto line = mayLogError()) velmora::Logger::error("[UDPServer] Zero bytes received");
        return false;
    }
    counters.delivered.add();
    if (received.truncated) counters.truncated.add();
    receiving.accept(received);
    return true;
}

// A group member's socket may take datagrams sent to its port at other
// addresses (bound to the any-address: a link-local group without a scope,
// or Windows); where the system says where each arrived, only the group's
// are its own.
bool UDPServer::Internals::forThisServer(const ReceiveBatch::Datagram& received) const {
    if (!groupMember) return true;
    const Arrival arrival = readArrival(received);
    return !arrival.known || sameGroup(arrival.to, localEndpoint.address());
}

bool UDPServer::Internals::deliveringHere() const {
    return deliveringOn.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// The delegate gets the datagram even if the logger throws on its line; the
// logger's exception goes on afterwards.
void UDPServer::reportMessage(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    FirstFailure logging;
    logging.run([&] {
        // The line starts with the prefix, which stays; only the payload
        // changes.
        std::string& line = in.receiving.receivedLine;
        line.resize(in.receivedPrefix.size());
        line.append(data, static_cast<std::size_t>(size));
        velmora::Logger::debug(line);
    });
    if (UDPServerDelegate* delegate = in.delegate.load(std::memory_order_acquire)) {
        // Marks the worker as delivering for sender(), destination() and
        // reply(), until the call ends, however it ends.
        struct Delivering {
            std::atomic<std::thread::id>& on;
            ~Delivering() { on.store(std::thread::id(), std::memory_order_relaxed); }
        } delivering{in.deliveringOn};
        in.deliveringOn.store(std::this_thread::get_id(), std::memory_order_relaxed);
        delegate->messageReceived(data, size);
    }
    logging.rethrow();
}
