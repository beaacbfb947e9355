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
    return sendTo(to, data, size, -1);
}

UDPServer::Error UDPServer::sendTo(const Endpoint& to, const char* data, std::uint64_t size,
                                   int trafficClass) {
    Internals& in = *internals;
    const Error refusal = in.refuseAddressed(EndpointConversion::sendable(to));
    if (refusal != Ok) return refusal;
    const Route route = Route::toward(
        EndpointConversion::toSocket(to, in.localEndpoint.protocol()), markOf(trafficClass));
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

namespace {

int trafficClassOf(const UDPServer::AddressedDatagram&) { return -1; }
int trafficClassOf(const UDPServer::MarkedDatagram& datagram) { return datagram.trafficClass; }

// Each chunk goes as far as its first destination that sendTo() would refuse.
// (The record's type is deduced: its name is the server's own.)
template <typename Record, typename Addressed>
std::size_t sendAddressed(Record& in, const Addressed* datagrams, std::size_t count,
                          UDPServer::Error* refusal) {
    UDPServer::Error result = count == 0 ? UDPServer::Ok : in.refuseAddressed(true);
    std::size_t accepted = 0;
    if (result == UDPServer::Ok) in.sendHeldRepliesFirst();
    while (result == UDPServer::Ok && accepted < count) {
        Route routes[kMaxBatch];
        Outgoing chunk[kMaxBatch];
        const std::size_t n = std::min(count - accepted, kMaxBatch);
        std::size_t valid = 0;
        for (; valid < n; ++valid) {
            const Addressed& datagram = datagrams[accepted + valid];
            if (!EndpointConversion::sendable(datagram.to)) break;
            routes[valid] = Route::toward(
                EndpointConversion::toSocket(datagram.to, in.localEndpoint.protocol()),
                markOf(trafficClassOf(datagram)));
            chunk[valid] = {datagram.data, datagram.size, &routes[valid]};
        }
        accepted += in.sender.sendBatch(chunk, valid, result);
        if (result == UDPServer::Ok && valid < n) result = in.refuseAddressed(false);
    }
    if (refusal) *refusal = result;
    return accepted;
}

}  // namespace

std::size_t UDPServer::sendTo(const AddressedDatagram* datagrams, std::size_t count,
                              Error* refusal) {
    return sendAddressed(*internals, datagrams, count, refusal);
}

std::size_t UDPServer::sendTo(const MarkedDatagram* datagrams, std::size_t count, Error* refusal) {
    return sendAddressed(*internals, datagrams, count, refusal);
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
    return reply(data, size, -1);
}

UDPServer::Error UDPServer::reply(const char* data, std::uint64_t size, int trafficClass) {
    Internals& in = *internals;
    Worker* worker = in.deliveringHere();
    const Error refusal = in.refuseAddressed(worker != nullptr);
    if (refusal != Ok) return refusal;
    if (!in.gate.withinReplyLimit(worker->index(), *worker->delivered().sender,
                                  worker->batchTime(), worker->ownCounters())) {
        return RateLimited;
    }
    return worker->sending().holdReply(data, size, markOf(trafficClass));
}
