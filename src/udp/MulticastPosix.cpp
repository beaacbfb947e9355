#include "udp/Multicast.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/socket_base.hpp>

asio::ip::address groupBindAddress(const asio::ip::address& group) {
    return group;
}

void prepareForGroup(ServerSocket& socket, const asio::ip::address& group, std::error_code& error) {
    socket.set_option(asio::socket_base::reuse_address(true), error);
#ifdef IP_MULTICAST_ALL
    // Belt and braces: bound to the group, the socket matches no other
    // group's datagrams anyway, so a kernel without the option is no error.
    const int off = 0;
    if (group.is_v6()) {
        ::setsockopt(socket.native_handle(), IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof off);
    } else {
        ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    }
#else
    (void)group;
#endif
}
