#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "udp/Route.h"

// Room for the control data that fixes a datagram's source address.
struct SourceControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in6_pktinfo))];
};

// Points `message` at control data in `room` that fixes the route's source,
// if it has one: IP_PKTINFO for an IPv4 destination (IPv4-mapped ones on a
// dual-stack socket included), IPV6_PKTINFO for an IPv6 one.
inline void attachSource(msghdr& message, const Route& route, SourceControl& room) {
    if (!route.fixedSource) return;
    std::memset(room.bytes, 0, sizeof room.bytes);
    message.msg_control = room.bytes;
    message.msg_controllen = sizeof room.bytes;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    const asio::ip::address& to = route.to.address();
    const bool toV4 = to.is_v4() || to.to_v6().is_v4_mapped();
    if (toV4) {
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(route.interfaceIndex);
        if (route.source.is_v4()) {
            const auto bytes = route.source.to_v4().to_bytes();
            std::memcpy(&info.ipi_spec_dst, bytes.data(), bytes.size());
        }
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        message.msg_controllen = CMSG_SPACE(sizeof info);
        return;
    }
    in6_pktinfo info{};
    info.ipi6_ifindex = route.interfaceIndex;
    if (route.source.is_v6()) {
        const auto bytes = route.source.to_v6().to_bytes();
        std::memcpy(&info.ipi6_addr, bytes.data(), bytes.size());
    }
    header->cmsg_level = IPPROTO_IPV6;
    header->cmsg_type = IPV6_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    message.msg_controllen = CMSG_SPACE(sizeof info);
}
