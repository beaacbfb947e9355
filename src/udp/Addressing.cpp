#include "udp/Addressing.h"

#include <cstring>
#include <sstream>

#include "udp/NetworkInterfaces.h"

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

namespace {

// The interface index that `scope` names: a decimal number of an existing
// interface, or an interface's name; 0 if it names none.
unsigned scopeIndex(const std::string& scope) {
    if (scope.empty()) return 0;
    if (scope.find_first_not_of("0123456789") != std::string::npos) return interfaceIndexOf(scope);
    if (scope.size() > 10) return 0;
    const unsigned long long number = std::stoull(scope);
    if (number == 0 || number > 0xFFFFFFFFull) return 0;
    const auto index = static_cast<unsigned>(number);
    return interfaceExists(index) ? index : 0;
}

// IPv6 text with an optional "%scope"; the scope is judged here, not by the
// system's parser, which takes "%1x" as 1 and an unknown name as 0. On a
// multicast group it names the interface to join or send on. An empty scope
// is refused on any address.
std::error_code parseV6(const std::string& text, asio::ip::address& parsed) {
    const std::size_t percent = text.find('%');
    std::error_code error;
    asio::ip::address_v6 v6 = asio::ip::make_address_v6(text.substr(0, percent), error);
    if (error) return error;
    if (percent + 1 == text.size()) return std::make_error_code(std::errc::invalid_argument);
    if (percent != std::string::npos && (v6.is_link_local() || v6.is_multicast())) {
        const unsigned index = scopeIndex(text.substr(percent + 1));
        if (index == 0) return std::make_error_code(std::errc::invalid_argument);
        v6.scope_id(index);
    }
    parsed = v6;
    return {};
}

// Writes `value` (at most 65,535: five digits) in decimal at `at`; returns
// where the digits end.
char* putDecimal(char* at, unsigned value) {
    char reversed[5];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < 5);
    while (count > 0) *at++ = reversed[--count];
    return at;
}

}  // namespace

ParsedAddress parseNumericAddress(const std::string& text) {
    ParsedAddress parsed;
    // The system's parsers stop at a NUL byte; what follows it would be lost.
    if (text.find('\0') != std::string::npos) {
        parsed.error = std::make_error_code(std::errc::invalid_argument);
        return parsed;
    }
    const std::size_t percent = text.find('%');
    const bool oneScope = percent == std::string::npos || text.find('%', percent + 1) == std::string::npos;
    if (oneScope && hasOnlyAddressCharacters(text, "0123456789abcdefABCDEF:.")) {
        parsed.error = parseV6(text, parsed.address);
        if (!parsed.error) return parsed;
    }
    // The error reported is the one the IPv4 attempt leaves; text that cannot
    // be IPv4 at all is refused as an invalid argument without an attempt
    // (in the generic category, which compares equal on every platform).
    parsed.error = std::make_error_code(std::errc::invalid_argument);
    if (percent == std::string::npos && hasOnlyAddressCharacters(text, "0123456789.")) {
        const asio::ip::address_v4 v4 = asio::ip::make_address_v4(text, parsed.error);
        if (!parsed.error) {
            parsed.address = v4;
        }
    }
    return parsed;
}

bool isUnspecified(const asio::ip::address& address) {
    if (address.is_v4()) return address.to_v4().is_unspecified();
    const asio::ip::address_v6 v6 = address.to_v6();
    return v6.is_unspecified() ||
           (v6.is_v4_mapped() &&
            asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_unspecified());
}

bool needsDualStack(const asio::ip::address& address) {
    return address.is_v6() && (address.to_v6().is_unspecified() || address.to_v6().is_v4_mapped());
}

std::string endpointText(const asio::ip::udp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// Composed in place and appended once: it is part of every "Sending" and
// "Sent" line.
void appendPeerText(std::string& text, const asio::ip::udp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    if (!address.is_v4() && !address.to_v6().is_v4_mapped()) {
        text += '[';
        text += address.to_v6().to_string();
        text += "]:";
        text += std::to_string(endpoint.port());
        return;
    }
    const asio::ip::address_v4 v4 =
        address.is_v4() ? address.to_v4()
                        : asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    const asio::ip::address_v4::bytes_type bytes = v4.to_bytes();
    char composed[24];  // "255.255.255.255:65535" at most
    char* end = composed;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) *end++ = '.';
        end = putDecimal(end, bytes[i]);
    }
    *end++ = ':';
    end = putDecimal(end, endpoint.port());
    text.append(composed, static_cast<std::size_t>(end - composed));
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
