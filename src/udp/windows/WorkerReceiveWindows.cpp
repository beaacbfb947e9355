// Windows: wait for the socket to become readable, then take datagrams with
// non-blocking WSARecvMsg calls until the batch is full or the socket empty,
// each with the packet information that says where it arrived. Windows has
// no count of the datagrams the system dropped.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <cstring>

#include <asio/error.hpp>

#include "udp/Unreachables.h"
#include "udp/Worker.h"

namespace {

// WSARecvMsg is an extension of the socket's provider, looked up per socket.
LPFN_WSARECVMSG receiveMessageOf(SOCKET socket) {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD size = 0;
    if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                   sizeof function, &size, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return function;
}

// Windows reports a destination's error as the result of a later receive
// (WSAECONNRESET after an ICMP port unreachable, WSAENETRESET after a time-out
// in transit), naming the destination where it can. No queue waits behind it.
void reportUnreachable(Unreachables& unreachables, int error, const asio::ip::udp::endpoint& named,
                       INT nameSize) {
    DestinationError unreachable;
    if (nameSize > 0) {
        unreachable.destination = named;
        unreachable.destination.resize(
            std::min<std::size_t>(static_cast<std::size_t>(nameSize), named.capacity()));
    }
    unreachable.reason = error == WSAECONNRESET ? UDPServer::UnreachableReason::Port
                                                : UDPServer::UnreachableReason::Other;
    unreachable.error = std::error_code(error == WSAECONNRESET ? WSAECONNREFUSED : error,
                                        asio::error::get_system_category());
    unreachables.report(unreachable);
}

}  // namespace

// A datagram longer than its area runs on into the spill room, so its whole
// size tells that it was too long.
// Never asked to wait: the worker waits in its event loop alone here.
void Worker::takeBatch(bool) {
    static const LPFN_WSARECVMSG receiveMessage = receiveMessageOf(native);
    ReceiveBatch& batch = receiving.batch;
    if (errorsMayWait.load(std::memory_order_relaxed)) takeDestinationErrors();
    while (!batch.full()) {
        const std::size_t index = batch.filled();
        ReceiveBatch::Receipt& receipt = batch.receipt(index);
        WSABUF buffers[2] = {{static_cast<ULONG>(batch.areaSize()), batch.area(index)},
                             {static_cast<ULONG>(ReceiveBatch::kSpillSize), batch.spill()}};
        WSAMSG message{};
        message.name = receipt.sender.data();
        message.namelen = static_cast<INT>(receipt.sender.capacity());
        message.lpBuffers = buffers;
        message.dwBufferCount = 2;
        message.Control = {static_cast<ULONG>(ReceiveBatch::kControlSize), batch.control(index)};
        DWORD size = 0;
        int error = 0;
        if (receiveMessage == nullptr) {
            error = WSAEOPNOTSUPP;
        } else if (receiveMessage(native, &message, &size, nullptr, nullptr) != 0) {
            error = ::WSAGetLastError();
        }
        if (error == WSAEWOULDBLOCK) return;
        if (error == WSAECONNRESET || error == WSAENETRESET) {
            reportUnreachable(shared.unreachables, error, receipt.sender, message.namelen);
            continue;
        }
        if (error != 0) {
            batch.commitFailure(std::error_code(error, asio::error::get_system_category()));
            return;  // reported in its turn; the next wait resumes
        }
        receipt.sender.resize(std::min<std::size_t>(static_cast<std::size_t>(message.namelen),
                                                    receipt.sender.capacity()));
        batch.commitDatagram(size, message.Control.len);
    }
}

void Worker::askSystemDrops() {}

void Worker::takeDestinationErrors() { errorsMayWait.store(false, std::memory_order_relaxed); }

// Windows' packet information has no reply address of its own: a reply to a
// group or to the limited broadcast address leaves from the address the
// system picks on the arrival interface.
Arrival readArrival(const ReceiveBatch::Datagram& datagram) {
    WSAMSG message{};
    message.Control = {static_cast<ULONG>(datagram.controlSize),
                       const_cast<char*>(datagram.control)};
    Arrival arrival;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            arrival = ipv4Arrival(&info.ipi_addr, nullptr, info.ipi_ifindex);
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            arrival = ipv6Arrival(&info.ipi6_addr, info.ipi6_ifindex);
        }
    }
    return arrival;
}

// Windows hands over no trains.
bool enableTrains(ServerSocket&) { return false; }

bool enableWaitInReceive(ServerSocket&, std::chrono::microseconds) { return false; }
