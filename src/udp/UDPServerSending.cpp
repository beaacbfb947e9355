// What the application sends: to the remote endpoint, to destinations of its
// own, and replies to the datagram being delivered; and who sent that
// datagram, and where it arrived.
#include <algorithm>

#include "udp/BatchSend.h"
#include "udp/EndpointConversion.h"
#include "udp/Internals.h"

UDPServer::Error UDPServer::send(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseSending();
    if (refusal != Ok) return refusal;
    in.sendHeldRepliesFirst();
    return in.sender.sendAlong(in.sender.remoteRoute(), in.sender.remoteSendingLine(), data, size);
}

UDPServer::Error UDPServer::sendTo(const Endpoint& to, const char* data, std::uint64_t size) {
    Internals& in = *internals;
    const Error refusal = in.refuseAddressed(EndpointConversion::sendable(to));
    if (refusal != Ok) return refusal;
    const Route route =
        Route::toward(EndpointConversion::toSocket(to, in.localEndpoint.protocol()));
    in.sendHeldRepliesFirst();
    return in.sender.sendAlong(route, in.sender.sendingLineFor(route, Sender::lineRoom()), data,
                               size);
}

std::size_t UDPServer::send(const Datagram* datagrams, std::size_t count, Error* refusal) {
    Internals& in = *internals;
    Error result = count == 0 ? Ok : in.refuseSending();
    std::size_t accepted = 0;
    if (result == Ok) in.sendHeldRepliesFirst();
    while (result == Ok && accepted < count) {
        Outgoing chunk[kMaxBatch];
        const std::size_t n = std::min(count - accepted, kMaxBatch);
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = {datagrams[accepted + i].data, datagrams[accepted + i].size,
                        &in.sender.remoteRoute()};
        }
        accepted += in.sender.sendBatch(chunk, n, result);
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
    if (result == Ok) in.sendHeldRepliesFirst();
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
        accepted += in.sender.sendBatch(chunk, valid, result);
        if (result == Ok && valid < n) result = in.refuseAddressed(false);
    }
    if (refusal) *refusal = result;
    return accepted;
}

UDPServer::Endpoint UDPServer::sender() const {
    const Worker* worker = internals->deliveringHere();
    if (worker == nullptr) return {};
    return EndpointConversion::fromSocket(*worker->delivered().sender);
}

UDPServer::Endpoint UDPServer::destination() const {
    const Internals& in = *internals;
    const Worker* worker = in.deliveringHere();
    if (worker == nullptr) return {};
    const Arrival arrival = readArrival(worker->delivered());
    if (!arrival.known) return EndpointConversion::fromSocket(in.localEndpoint);
    return EndpointConversion::fromSocket({arrival.to, in.localEndpoint.port()});
}

// Through the socket that received the request, from the worker delivering it.
UDPServer::Error UDPServer::reply(const char* data, std::uint64_t size) {
    Internals& in = *internals;
    Worker* worker = in.deliveringHere();
    const Error refusal = in.refuseAddressed(worker != nullptr);
    if (refusal != Ok) return refusal;
    return in.sender.holdReply(*worker, data, size);
}
