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
// Never resolves host names. On failure, `error` is what the IPv4 parse left.
ParsedAddress parseNumericAddress(const std::string& text);

// `error` with asio's own system category replaced by the standard one, so
// callers can compare it with std::errc values (same value, same message).
std::error_code standardCode(const std::error_code& error);

// The endpoint as asio writes it: "1.2.3.4:5" or "[::1%scope]:5".
std::string endpointText(const asio::ip::udp::endpoint& endpoint);

// Whether two endpoints are the same (family, address, IPv6 scope and port),
// compared on their raw socket addresses: nothing is built or allocated.
bool sameEndpoint(const asio::ip::udp::endpoint& a, const asio::ip::udp::endpoint& b);
