#pragma once

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

// Where a datagram goes and, for a reply, the local address it leaves from;
// without one the system picks the source as for any send.
struct Route {
    asio::ip::udp::endpoint to;
    bool fixedSource = false;
    asio::ip::address source;  // unspecified: any address of `interfaceIndex`
    unsigned interfaceIndex = 0;    // 0: as the routing picks

    // To `to`, from where the system picks.
    static Route toward(const asio::ip::udp::endpoint& to) { return {to, false, {}, 0}; }

    static Route replyTo(const asio::ip::udp::endpoint& sender, const Arrival& arrival) {
        Route route{sender, arrival.known, arrival.replyFrom, 0};
        // A link-local source, or none, is only meaningful on its interface.
        const bool needsInterface =
            arrival.replyFrom.is_unspecified() ||
            (arrival.replyFrom.is_v6() && arrival.replyFrom.to_v6().is_link_local());
        if (needsInterface) route.interfaceIndex = arrival.interfaceIndex;
        return route;
    }
};
