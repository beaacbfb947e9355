#include <netinet/in.h>

#include <cstring>

#include "udp/ControlMessages.h"
#include "udp/ReceiveBatch.h"

// IP_PKTINFO tells the header's destination and, in ipi_spec_dst, the local
// address a reply leaves from (for a broadcast or a group, the interface's
// own); IPV6_PKTINFO tells only the destination, so a reply to a group
// leaves from the interface's address that the system picks.
Arrival readArrival(const ReceiveBatch::Datagram& datagram) {
    if (const char* data = findControl(datagram.control, datagram.controlSize, IPPROTO_IP,
                                       IP_PKTINFO, sizeof(in_pktinfo))) {
        in_pktinfo info;
        std::memcpy(&info, data, sizeof info);
        return ipv4Arrival(&info.ipi_addr, &info.ipi_spec_dst,
                           static_cast<unsigned>(info.ipi_ifindex));
    }
    if (const char* data = findControl(datagram.control, datagram.controlSize, IPPROTO_IPV6,
                                       IPV6_PKTINFO, sizeof(in6_pktinfo))) {
        in6_pktinfo info;
        std::memcpy(&info, data, sizeof info);
        return ipv6Arrival(&info.ipi6_addr, info.ipi6_ifindex);
    }
    return {};
}
