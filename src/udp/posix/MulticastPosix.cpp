#include "udp/Multicast.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <asio/error.hpp>
#include <asio/ip/udp.hpp>
#include <asio/socket_base.hpp>

// Binding a link- or interface-local IPv6 group needs its interface; given
// without one, the group is joined on the interface the system picks, and the
// socket binds the any-address, as on Windows.
asio::ip::address groupBindAddress(const asio::ip::address& group) {
    if (group.is_v6()) {
        const asio::ip::address_v6 v6 = group.to_v6();
        if (v6.scope_id() == 0 && (v6.is_multicast_link_local() || v6.is_multicast_node_local())) {
            return asio::ip::address_v6::any();
        }
    }
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

// The protocol-independent request, which Linux takes for IPv4 too.
bool setSourceMembership(ServerSocket& socket, bool join, const asio::ip::address& group,
                         const asio::ip::address& source, std::error_code& error) {
    group_source_req request{};
    const asio::ip::udp::endpoint groupEnd(group, 0), sourceEnd(source, 0);
    std::memcpy(&request.gsr_group, groupEnd.data(), groupEnd.size());
    std::memcpy(&request.gsr_source, sourceEnd.data(), sourceEnd.size());
    request.gsr_interface = group.is_v6() ? group.to_v6().scope_id() : 0;
    if (::setsockopt(socket.native_handle(), group.is_v6() ? IPPROTO_IPV6 : IPPROTO_IP,
                     join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP, &request,
                     sizeof request) == 0) {
        return true;
    }
    error.assign(errno, asio::error::get_system_category());
    return false;
}
