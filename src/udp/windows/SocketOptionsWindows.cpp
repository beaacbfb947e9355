#include "udp/SocketOptions.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <cstddef>
#include <cstring>

#include <asio/error.hpp>

namespace {

// Sets a DWORD option unless an earlier one failed.
void set(SOCKET socket, int level, int name, DWORD value, std::error_code& error) {
    if (error) return;
    if (::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0) {
        error.assign(::WSAGetLastError(), asio::error::get_system_category());
    }
}

// A setting this Windows may not know: tried, and left as it is if refused.
void tryToSet(SOCKET socket, int level, int name, DWORD value) {
    std::error_code ignored;
    set(socket, level, name, value, ignored);
}

}  // namespace

// Windows takes no -1 for "the default": a hop limit is set only once asked
// for, and the traffic class falls back to 0. Probing is asked for where the
// system knows IP_MTU_DISCOVER (Windows 10 1703 and later); elsewhere it is
// don't-fragment. The receive information Windows gives: the traffic class
// (where the system knows IP_RECVTOS), the hop limit and packet information.
void applyOptions(ServerSocket& socket, const SocketOptions& options, std::error_code& error) {
    const SOCKET fd = socket.native_handle();
    const bool v6 = socket.local_endpoint(error).protocol() == asio::ip::udp::v6();
    const DWORD traffic = options.trafficClass < 0 ? 0 : static_cast<DWORD>(options.trafficClass);
    const DWORD dontFragment =
        options.fragmentation == UDPServer::Fragmentation::SystemDefault ? 0 : 1;
    const DWORD on = options.receiveInfo ? 1 : 0;
    set(fd, IPPROTO_IP, IP_TOS, traffic, error);
    if (options.hopLimit > 0) set(fd, IPPROTO_IP, IP_TTL, static_cast<DWORD>(options.hopLimit), error);
    set(fd, IPPROTO_IP, IP_DONTFRAGMENT, dontFragment, error);
    if (options.fragmentation == UDPServer::Fragmentation::Probe) {
        tryToSet(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_PROBE);
    }
    tryToSet(fd, IPPROTO_IP, IP_RECVTOS, on);
    tryToSet(fd, IPPROTO_IP, IP_HOPLIMIT, on);
    if (options.receiveInfo) tryToSet(fd, IPPROTO_IP, IP_PKTINFO, 1);
    if (!v6) return;
    tryToSet(fd, IPPROTO_IPV6, IPV6_TCLASS, traffic);
    if (options.hopLimit > 0) {
        set(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, static_cast<DWORD>(options.hopLimit), error);
    }
    set(fd, IPPROTO_IPV6, IPV6_DONTFRAG, dontFragment, error);
    tryToSet(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, on);
    tryToSet(fd, IPPROTO_IPV6, IPV6_HOPLIMIT, on);
    if (options.receiveInfo) tryToSet(fd, IPPROTO_IPV6, IPV6_PKTINFO, 1);
}

// A receive reports them (WSAECONNRESET) unless told not to; nothing to ask.
void enableDestinationErrors(ServerSocket&) {}

void readNetworkFacts(const ReceiveBatch::Datagram& datagram, UDPServer::DatagramInfo& info) {
    WSAMSG message{};
    message.Control = {static_cast<ULONG>(datagram.controlSize),
                       const_cast<char*>(datagram.control)};
    // The traffic class comes as one byte or as an int, whose first byte
    // (little-endian) is the same.
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        // Only what lies wholly within the control data the system filled.
        const std::size_t left = datagram.controlSize -
                                 static_cast<std::size_t>(reinterpret_cast<const char*>(c) -
                                                          datagram.control);
        if (c->cmsg_len > left) break;
        if (c->cmsg_len < WSA_CMSG_LEN(1)) continue;
        const bool traffic = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) ||
                             (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS);
        const bool hops = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_HOPLIMIT) ||
                          (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT);
        if (traffic) info.trafficClass = static_cast<unsigned char>(*WSA_CMSG_DATA(c));
        if (hops && c->cmsg_len >= WSA_CMSG_LEN(sizeof(INT))) {
            INT value = 0;
            std::memcpy(&value, WSA_CMSG_DATA(c), sizeof value);
            info.hopLimit = value & 0xFF;
        }
    }
    const Arrival arrival = readArrival(datagram);
    if (arrival.known) info.interfaceIndex = arrival.interfaceIndex;
}
