#include "udp/Addressing.h"

#include <cstring>
#include <sstream>

#include <asio/error.hpp>

int checkedPort(int port, const char* role) {
    if (port < 0 || port > 65535) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                std::string(role) + " port " + std::to_string(port) +
                                    " is outside 0 to 65535");
    }
    return port;
}

namespace {

// Windows' address parser also takes a port ("1.2.3.4:5", "[::1]:5") and drops
// it silently; only the characters of plain address text are let through.
bool hasOnlyAddressCharacters(const std::string& text, const char* allowed) {
    const std::string address = text.substr(0, text.find('%'));  // the scope is free text
    return !address.empty() && address.find_first_not_of(allowed) == std::string::npos;
}

}  // namespace

ParsedAddress parseNumericAddress(const std::string& text) {
    ParsedAddress parsed;
    if (hasOnlyAddressCharacters(text, "0123456789abcdefABCDEF:.")) {
        const asio::ip::address_v6 v6 = asio::ip::make_address_v6(text, parsed.error);
        if (!parsed.error) {
            parsed.address = v6;
            return parsed;
        }
    }
    // The error reported is the one the IPv4 attempt leaves; text that cannot
    // be IPv4 at all is refused as an invalid argument without an attempt.
    parsed.error = asio::error::invalid_argument;
    if (text.find('%') == std::string::npos && hasOnlyAddressCharacters(text, "0123456789.")) {
        const asio::ip::address_v4 v4 = asio::ip::make_address_v4(text, parsed.error);
        if (!parsed.error) {
            parsed.address = v4;
        }
    }
    return parsed;
}

std::error_code standardCode(const std::error_code& error) {
    if (error.category() == asio::error::get_system_category()) {
        return {error.value(), std::system_category()};
    }
    return error;
}

std::string endpointText(const asio::ip::udp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

bool sameEndpoint(const asio::ip::udp::endpoint& a, const asio::ip::udp::endpoint& b) {
    const sockaddr* x = a.data();
    const sockaddr* y = b.data();
    if (x->sa_family != y->sa_family) return false;
    if (x->sa_family == AF_INET) {
        const auto* p = reinterpret_cast<const sockaddr_in*>(x);
        const auto* q = reinterpret_cast<const sockaddr_in*>(y);
        return p->sin_port == q->sin_port && p->sin_addr.s_addr == q->sin_addr.s_addr;
    }
    const auto* p = reinterpret_cast<const sockaddr_in6*>(x);
    const auto* q = reinterpret_cast<const sockaddr_in6*>(y);
    return p->sin6_port == q->sin6_port && p->sin6_scope_id == q->sin6_scope_id &&
           std::memcmp(&p->sin6_addr, &q->sin6_addr, sizeof p->sin6_addr) == 0;
}
