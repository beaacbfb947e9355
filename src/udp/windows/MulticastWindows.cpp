#include "udp/Multicast.h"

#include <asio/ip/address_v4.hpp>
#include <asio/ip/address_v6.hpp>
#include <asio/socket_base.hpp>

// Winsock refuses to bind a multicast address; the any-address takes the
// group's datagrams once the socket has joined.
asio::ip::address groupBindAddress(const asio::ip::address& group) {
    if (group.is_v6()) return asio::ip::address_v6::any();
    return asio::ip::address_v4::any();
}

// Windows hands a socket only the groups it joined itself.
void prepareForGroup(ServerSocket& socket, const asio::ip::address&, std::error_code& error) {
    socket.set_option(asio::socket_base::reuse_address(true), error);
}
