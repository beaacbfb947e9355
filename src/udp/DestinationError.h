#pragma once

#include <dravik/UDPServer.h>

#include <cstdint>
#include <system_error>

#include <asio/ip/udp.hpp>

// What the system said about one datagram the server sent: that its
// destination could not be reached, and why.
struct DestinationError {
    asio::ip::udp::endpoint destination;
    UDPServer::UnreachableReason reason = UDPServer::UnreachableReason::Other;
    std::uint32_t mtu = 0;
    std::error_code error;
    asio::ip::udp::endpoint reportedBy;
    bool reporterKnown = false;
    // Whether the report came from the network (anyone could have sent it),
    // rather than from this host's own system.
    bool fromNetwork = true;
};

// The smallest MTU a path of the destination's family can have (68 for
// IPv4, 1,280 for IPv6): a report of less is a lie, or a fault.
constexpr std::uint32_t smallestMtu(bool v6) { return v6 ? 1280 : 68; }
