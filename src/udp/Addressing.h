#pragma once

#include <string>
#include <system_error>

#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>

// Returns `port` if it is within 0..65535; otherwise throws std::system_error
// with std::errc::invalid_argument, naming `role` ("local" or "remote").
int checkedPort(int port, const char* role);

// The result of parsing numeric address text; `error` is set on failure.
struct ParsedAddress {
    asio::ip::address address;
    std::error_code error;
};

// Parses `text` as IPv6 (with an optional "%scope"), then as IPv4 dotted text.
// Never resolves host names. On failure, `error` is what the IPv4 parse left
// (invalid_argument for text that cannot be either). A scope counts only on
// a link-local or multicast address, where it must name an existing
// interface by name or number; elsewhere it is dropped, as the system does
// for senders.
ParsedAddress parseNumericAddress(const std::string& text);

// Whether `address` is unspecified: 0.0.0.0, ::, or ::ffff:0.0.0.0.
bool isUnspecified(const asio::ip::address& address);

// Whether an IPv6 socket for `address` must take IPv4 too (IPV6_V6ONLY off):
// for :: and for IPv4-mapped addresses.
bool needsDualStack(const asio::ip::address& address);

// The endpoint as asio writes it: "1.2.3.4:5" or "[::1%scope]:5".
std::string endpointText(const asio::ip::udp::endpoint& endpoint);

// Appends the endpoint as a sender or destination is shown to users: as
// endpointText() writes it, but an IPv4-mapped address as IPv4.
void appendPeerText(std::string& text, const asio::ip::udp::endpoint& endpoint);

// Whether two endpoints are the same (family, address, IPv6 scope and port),
// compared on their raw socket addresses: nothing is built or allocated.
bool sameEndpoint(const asio::ip::udp::endpoint& a, const asio::ip::udp::endpoint& b);
