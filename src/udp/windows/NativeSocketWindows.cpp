#include "udp/NativeSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <climits>
#include <cstring>

#include <asio/error.hpp>
#include <asio/ip/v6_only.hpp>

void openNotInherited(ServerSocket& socket, const asio::ip::udp& protocol, std::error_code& error) {
    const SOCKET handle = ::WSASocketW(protocol.family(), SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (handle == INVALID_SOCKET) {
        error.assign(::WSAGetLastError(), asio::error::get_system_category());
        return;
    }
    socket.assign(protocol, handle, error);
    if (error) {
        ::closesocket(handle);
        return;
    }
    // As asio's own open does: IPv6 sockets take IPv4 too where they can.
    if (protocol.family() == AF_INET6) {
        std::error_code ignored;
        socket.set_option(asio::ip::v6_only(false), ignored);
    }
}

namespace {

// A reply leaves from the address its request came to: WSASendMsg with the
// packet information of that address and interface.
int sendFrom(SOCKET socket, const char* data, std::size_t size, const Route& route,
             DWORD& sent) {
    WSABUF bytes{static_cast<ULONG>(size), const_cast<char*>(data)};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO))] = {};
    WSAMSG message{};
    message.name = const_cast<sockaddr*>(route.to.data());
    message.namelen = static_cast<INT>(route.to.size());
    message.lpBuffers = &bytes;
    message.dwBufferCount = 1;
    message.Control = {sizeof control, control};
    WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message);
    const asio::ip::address& to = route.to.address();
    if (to.is_v4() || to.to_v6().is_v4_mapped()) {
        IN_PKTINFO info{};
        if (route.source.is_v4()) {
            const auto raw = route.source.to_v4().to_bytes();
            std::memcpy(&info.ipi_addr, raw.data(), raw.size());
        }
        info.ipi_ifindex = route.interfaceIndex;
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = WSA_CMSG_LEN(sizeof info);
        std::memcpy(WSA_CMSG_DATA(header), &info, sizeof info);
        message.Control.len = WSA_CMSG_SPACE(sizeof info);
    } else {
        IN6_PKTINFO info{};
        if (route.source.is_v6()) {
            const auto raw = route.source.to_v6().to_bytes();
            std::memcpy(&info.ipi6_addr, raw.data(), raw.size());
        }
        info.ipi6_ifindex = route.interfaceIndex;
        header->cmsg_level = IPPROTO_IPV6;
        header->cmsg_type = IPV6_PKTINFO;
        header->cmsg_len = WSA_CMSG_LEN(sizeof info);
        std::memcpy(WSA_CMSG_DATA(header), &info, sizeof info);
        message.Control.len = WSA_CMSG_SPACE(sizeof info);
    }
    return ::WSASendMsg(socket, &message, 0, &sent, nullptr, nullptr);
}

}  // namespace

std::error_code sendWithoutBlocking(ServerSocket::native_handle_type socket, const char* data,
                                    std::size_t size, const Route& route, std::size_t& sent) {
    // Winsock counts bytes in an int; no datagram can be that long anyway.
    if (size > INT_MAX) return asio::error::message_size;
    int result;
    if (route.fixedSource) {
        DWORD bytes = 0;
        result = sendFrom(socket, data, size, route, bytes);
        if (result == 0) result = static_cast<int>(bytes);
    } else {
        result = ::sendto(socket, data, static_cast<int>(size), 0, route.to.data(),
                          static_cast<int>(route.to.size()));
    }
    if (result == SOCKET_ERROR) return {::WSAGetLastError(), asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}

namespace {

int bufferSize(SOCKET socket, int option) {
    int size = 0;
    int length = sizeof size;
    return ::getsockopt(socket, SOL_SOCKET, option, reinterpret_cast<char*>(&size), &length) == 0
               ? size
               : 0;
}

}  // namespace

int receiveBufferSize(ServerSocket::native_handle_type socket) {
    return bufferSize(socket, SO_RCVBUF);
}

int sendBufferSize(ServerSocket::native_handle_type socket) {
    return bufferSize(socket, SO_SNDBUF);
}

// IPv4 datagrams on a dual-stack socket carry IPv4's packet information, so
// an IPv6 socket asks for both.
void enableArrivalInfo(ServerSocket& socket) {
    const DWORD on = 1;
    const char* value = reinterpret_cast<const char*>(&on);
    ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_PKTINFO, value, sizeof on);
    if (socket.local_endpoint().protocol() == asio::ip::udp::v6()) {
        ::setsockopt(socket.native_handle(), IPPROTO_IPV6, IPV6_PKTINFO, value, sizeof on);
    }
}
