#include "udp/NativeSocket.h"

#include <climits>

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

std::error_code sendWithoutBlocking(ServerSocket::native_handle_type socket, const char* data,
                                    std::size_t size, const Route& route, std::size_t& sent) {
    // Winsock counts bytes in an int; no datagram can be that long anyway.
    if (size > INT_MAX) return asio::error::message_size;
    // The source is left to the system: WSASendMsg with packet information
    // is not used yet.
    const int result = ::sendto(socket, data, static_cast<int>(size), 0, route.to.data(),
                                static_cast<int>(route.to.size()));
    if (result == SOCKET_ERROR) return {::WSAGetLastError(), asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}

// Not asked for yet: where a datagram arrived is not read on Windows.
void enableArrivalInfo(ServerSocket&) {}
