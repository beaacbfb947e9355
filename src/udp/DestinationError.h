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
};
