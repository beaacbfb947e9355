#pragma once

#include <cstring>

#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>

// Where a datagram arrived, as far as the platform tells: the address it was
// sent to, the interface it came in on, and the local address a reply should
// leave from (for a group or a broadcast address, the interface's own).
struct Arrival {
    bool known = false;
    asio::ip::address to;
    asio::ip::address replyFrom;  // unspecified: any address of `interfaceIndex`
    unsigned interfaceIndex = 0;
};

// Where an IPv4 datagram arrived: the address it was sent to and the local
// address a reply leaves from, as the system says (`replyFrom`), or, where it
// does not (null), the destination itself, unless that is a group or the
// broadcast address: then any address of the interface. Addresses are 4 bytes
// in network order.
inline Arrival ipv4Arrival(const void* to, const void* replyFrom, unsigned interfaceIndex) {
    asio::ip::address_v4::bytes_type raw;
    std::memcpy(raw.data(), to, raw.size());
    const asio::ip::address_v4 destination(raw);
    asio::ip::address_v4 source = destination;
    if (replyFrom != nullptr) {
        std::memcpy(raw.data(), replyFrom, raw.size());
        source = asio::ip::address_v4(raw);
    } else if (destination.is_multicast() || destination == asio::ip::address_v4::broadcast()) {
        source = asio::ip::address_v4();
    }
    Arrival arrival;
    arrival.to = destination;
    arrival.replyFrom = source;
    arrival.interfaceIndex = interfaceIndex;
    arrival.known = true;
    return arrival;
}

// Where an IPv6 datagram arrived (16 bytes); a reply to a group leaves from
// the interface's address that the system picks.
inline Arrival ipv6Arrival(const void* to, unsigned interfaceIndex) {
    asio::ip::address_v6::bytes_type raw;
    std::memcpy(raw.data(), to, raw.size());
    asio::ip::address_v6 address(raw);
    if (address.is_link_local() || address.is_multicast_link_local()) {
        address.scope_id(interfaceIndex);
    }
    Arrival arrival;
    arrival.to = address;
    arrival.replyFrom = address.is_multicast() ? asio::ip::address(asio::ip::address_v6())
                                               : asio::ip::address(address);
    arrival.interfaceIndex = interfaceIndex;
    arrival.known = true;
    return arrival;
}

// A datagram's own traffic class as the application gave it: 0..255, or -1
// (the socket's) for -1 and anything outside.
inline int markOf(int trafficClass) {
    return trafficClass >= 0 && trafficClass <= 255 ? trafficClass : -1;
}

// Where a datagram goes and, for a reply, the local address it leaves from;
// without one the system picks the source as for any send. A traffic class
// of its own, if it has one, replaces the socket's for this datagram.
struct Route {
    asio::ip::udp::endpoint to;
    bool fixedSource = false;
    asio::ip::address source;  // unspecified: any address of `interfaceIndex`
    unsigned interfaceIndex = 0;    // 0: as the routing picks
    int trafficClass = -1;          // 0..255; -1: the socket's

    // Whether sending it takes control data (a source, a traffic class).
    bool needsControl() const { return fixedSource || trafficClass >= 0; }

    // To `to`, from where the system picks.
    static Route toward(const asio::ip::udp::endpoint& to, int trafficClass = -1) {
        return {to, false, {}, 0, trafficClass};
    }

    static Route replyTo(const asio::ip::udp::endpoint& sender, const Arrival& arrival,
                         int trafficClass = -1) {
        Route route{sender, arrival.known, arrival.replyFrom, 0, trafficClass};
        // A link-local source, or none, is only meaningful on its interface.
        const bool needsInterface =
            arrival.replyFrom.is_unspecified() ||
            (arrival.replyFrom.is_v6() && arrival.replyFrom.to_v6().is_link_local());
        if (needsInterface) route.interfaceIndex = arrival.interfaceIndex;
        return route;
    }
};
