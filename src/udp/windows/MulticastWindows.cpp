#include "udp/Multicast.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include <asio/error.hpp>
#include <asio/ip/udp.hpp>
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

// The protocol-independent request (GROUP_SOURCE_REQ) of both families.
bool setSourceMembership(ServerSocket& socket, bool join, const asio::ip::address& group,
                         const asio::ip::address& source, std::error_code& error) {
    GROUP_SOURCE_REQ request{};
    const asio::ip::udp::endpoint groupEnd(group, 0), sourceEnd(source, 0);
    std::memcpy(&request.gsr_group, groupEnd.data(), groupEnd.size());
    std::memcpy(&request.gsr_source, sourceEnd.data(), sourceEnd.size());
    request.gsr_interface = group.is_v6() ? group.to_v6().scope_id() : 0;
    if (::setsockopt(socket.native_handle(), group.is_v6() ? IPPROTO_IPV6 : IPPROTO_IP,
                     join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP,
                     reinterpret_cast<const char*>(&request), sizeof request) == 0) {
        return true;
    }
    error.assign(::WSAGetLastError(), asio::error::get_system_category());
    return false;
}
