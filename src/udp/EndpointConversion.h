#pragma once

#include <dravik/UDPServer.h>

#include <asio/ip/udp.hpp>

// Between the public endpoint value and the socket's own. Worker and
// application threads alike; nothing is allocated.
class EndpointConversion {
public:
    // An IPv4-mapped IPv6 endpoint (a dual-stack socket's view of an IPv4
    // peer) becomes IPv4.
    static UDPServer::Endpoint fromSocket(const asio::ip::udp::endpoint& endpoint);
    // As a socket of `protocol` addresses it: an IPv4 endpoint on an IPv6
    // socket becomes IPv4-mapped; an IPv6 one on an IPv4 socket stays IPv6,
    // which the system then refuses. Check empty() first.
    static asio::ip::udp::endpoint toSocket(const UDPServer::Endpoint& endpoint,
                                            const asio::ip::udp& protocol);
    // Whether a datagram may be sent to it: an address that is not
    // unspecified, and a port that is not 0.
    static bool sendable(const UDPServer::Endpoint& endpoint);
};
