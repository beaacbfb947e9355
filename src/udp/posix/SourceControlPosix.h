#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "udp/Route.h"

// Room for the control data that fixes a datagram's source address and its
// traffic class.
struct SourceControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(int))];
};

namespace source_control {

inline cmsghdr* append(msghdr& message, cmsghdr* previous, int level, int type,
                       const void* data, std::size_t size) {
    cmsghdr* header = previous == nullptr ? CMSG_FIRSTHDR(&message) : CMSG_NXTHDR(&message, previous);
    header->cmsg_level = level;
    header->cmsg_type = type;
    header->cmsg_len = CMSG_LEN(size);
    std::memcpy(CMSG_DATA(header), data, size);
    return header;
}

}  // namespace source_control

// Points `message` at control data in `room` for what the route asks of this
// datagram, if anything: its source (IP_PKTINFO for an IPv4 destination,
// IPv4-mapped ones on a dual-stack socket included; IPV6_PKTINFO for an IPv6
// one) and its traffic class (IP_TOS or IPV6_TCLASS, by the same rule).
inline void attachControl(msghdr& message, const Route& route, SourceControl& room) {
    if (!route.needsControl()) return;
    std::memset(room.bytes, 0, sizeof room.bytes);
    message.msg_control = room.bytes;
    message.msg_controllen = sizeof room.bytes;
    const asio::ip::address& to = route.to.address();
    const bool toV4 = to.is_v4() || to.to_v6().is_v4_mapped();
    cmsghdr* last = nullptr;
    std::size_t used = 0;
    if (route.fixedSource && toV4) {
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(route.interfaceIndex);
        if (route.source.is_v4()) {
            const auto bytes = route.source.to_v4().to_bytes();
            std::memcpy(&info.ipi_spec_dst, bytes.data(), bytes.size());
        }
        last = source_control::append(message, last, IPPROTO_IP, IP_PKTINFO, &info, sizeof info);
        used += CMSG_SPACE(sizeof info);
    } else if (route.fixedSource) {
        in6_pktinfo info{};
        info.ipi6_ifindex = route.interfaceIndex;
        if (route.source.is_v6()) {
            const auto bytes = route.source.to_v6().to_bytes();
            std::memcpy(&info.ipi6_addr, bytes.data(), bytes.size());
        }
        last = source_control::append(message, last, IPPROTO_IPV6, IPV6_PKTINFO, &info,
                                      sizeof info);
        used += CMSG_SPACE(sizeof info);
    }
    if (route.trafficClass >= 0) {
        const int value = route.trafficClass & 0xFF;
        source_control::append(message, last, toV4 ? IPPROTO_IP : IPPROTO_IPV6,
                               toV4 ? IP_TOS : IPV6_TCLASS, &value, sizeof value);
        used += CMSG_SPACE(sizeof value);
    }
    message.msg_controllen = used;
}
