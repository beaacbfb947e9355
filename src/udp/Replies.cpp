// Who sent the datagram being delivered, where it arrived, and the replies
// to it, held until the batch of deliveries is over and then sent together.
#include "host/Logger.h"
#include "udp/EndpointConversion.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"

UDPServer::Endpoint UDPServer::sender() const {
    const Internals& in = *internals;
    if (!in.deliveringHere()) return {};
    return EndpointConversion::fromSocket(*in.receiving.delivered().sender);
}

UDPServer::Endpoint UDPServer::destination() const {
    const Internals& in = *internals;
    if (!in.deliveringHere()) return {};
    const Arrival arrival = readArrival(in.receiving.delivered());
    if (!arrival.known) return EndpointConversion::fromSocket(in.localEndpoint);
    return EndpointConversion::fromSocket({arrival.to, in.localEndpoint.port()});
}

UDPServer::Error UDPServer::reply(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseAddressed(in.deliveringHere());
    if (refusal != Ok) return refusal;
    return in.holdReply(data, size);
}

// The reply's room among the copies is reserved now, so that it is refused
// now, not when it is sent, should the copies be full.
UDPServer::Error UDPServer::Internals::holdReply(const char* data, std::uint64_t size) {
    const ReceiveBatch::Datagram& request = receiving.delivered();
    const Route route = Route::replyTo(*request.sender, readArrival(request));
    velmora::Logger::debug(sendingLineFor(route, sending.replyLine));
    if (!sending.waiting.reserve(static_cast<std::size_t>(size))) return refuseQueueFull();
    counters.sendsAccepted.add();
    sending.replies.add(data, static_cast<std::size_t>(size), route);
    return Ok;
}

// In chunks, as the batch send() does; what the socket has no room for, and
// everything once copies wait (they leave first), waits as copies.
void UDPServer::Internals::sendReplies() {
    PendingReplies& replies = sending.replies;
    std::size_t next = 0;
    while (next < replies.count() && !sending.waiting.any()) {
        Outgoing chunk[kMaxBatch];
        CompletedSends::Outcome outcomes[kMaxBatch];
        const std::size_t described = replies.describe(next, chunk);
        const std::size_t handled =
            sendBatchWithoutBlocking(nativeSocket, chunk, described, sending.segmentation, outcomes);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < handled; ++i) bytes += static_cast<std::size_t>(chunk[i].size);
        sending.waiting.unreserve(bytes, handled);
        next += handled;
        queueSent(outcomes, handled);
        if (handled < described) break;
    }
    for (; next < replies.count(); ++next) {
        if (sending.waiting.addReserved(replies.data(next), replies.size(next),
                                        replies.route(next)) == WaitingSends::Added::First) {
            waitForRoom();
        }
    }
    replies.clear();
}
