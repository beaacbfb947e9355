#include "udp/NativeSend.h"

#include <climits>

#include <asio/error.hpp>

std::error_code sendWithoutBlocking(asio::ip::udp::socket::native_handle_type socket,
                                    const char* data, std::size_t size,
                                    const asio::ip::udp::endpoint& to, std::size_t& sent) {
    // Winsock counts bytes in an int; no datagram can be that long anyway.
    if (size > INT_MAX) return asio::error::message_size;
    const int result = ::sendto(socket, data, static_cast<int>(size), 0, to.data(),
                                static_cast<int>(to.size()));
    if (result == SOCKET_ERROR) return {::WSAGetLastError(), asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}
