#include <cstring>

#include <asio/ip/address.hpp>

#include "udp/Addressing.h"
#include "udp/EndpointConversion.h"

using Endpoint = UDPServer::Endpoint;

Endpoint::Endpoint() noexcept = default;

Endpoint::Endpoint(const std::string& address, int port) {
    const ParsedAddress parsed = parseNumericAddress(address);
    if (parsed.error) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "'" + address + "' is not a numeric IPv4 or IPv6 address");
    }
    *this = EndpointConversion::fromSocket(
        {parsed.address, static_cast<unsigned short>(checkedPort(port, "endpoint"))});
}

std::string Endpoint::address() const {
    if (empty()) return {};
    return EndpointConversion::toSocket(*this, family == 4 ? asio::ip::udp::v4()
                                                           : asio::ip::udp::v6())
        .address()
        .to_string();
}

int Endpoint::port() const { return portNumber; }

bool Endpoint::empty() const { return family == 0; }

std::string Endpoint::toString() const {
    if (empty()) return {};
    return family == 4 ? address() + ":" + std::to_string(portNumber)
                       : "[" + address() + "]:" + std::to_string(portNumber);
}

bool Endpoint::operator==(const Endpoint& other) const {
    return family == other.family && portNumber == other.portNumber && scope == other.scope &&
           std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

Endpoint EndpointConversion::fromSocket(const asio::ip::udp::endpoint& endpoint) {
    Endpoint value;
    value.portNumber = endpoint.port();
    const asio::ip::address address = endpoint.address();
    if (address.is_v6() && !address.to_v6().is_v4_mapped()) {
        const asio::ip::address_v6 v6 = address.to_v6();
        const asio::ip::address_v6::bytes_type raw = v6.to_bytes();
        value.family = 6;
        value.scope = static_cast<std::uint32_t>(v6.scope_id());
        std::memcpy(value.bytes, raw.data(), raw.size());
        return value;
    }
    const asio::ip::address_v4 v4 = address.is_v4()
                                        ? address.to_v4()
                                        : asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    const asio::ip::address_v4::bytes_type raw = v4.to_bytes();
    value.family = 4;
    std::memcpy(value.bytes, raw.data(), raw.size());
    return value;
}

asio::ip::udp::endpoint EndpointConversion::toSocket(const Endpoint& endpoint,
                                                     const asio::ip::udp& protocol) {
    if (endpoint.family == 6) {
        asio::ip::address_v6::bytes_type raw;
        std::memcpy(raw.data(), endpoint.bytes, raw.size());
        return {asio::ip::address_v6(raw, endpoint.scope), endpoint.portNumber};
    }
    asio::ip::address_v4::bytes_type raw;
    std::memcpy(raw.data(), endpoint.bytes, raw.size());
    const asio::ip::address_v4 v4(raw);
    if (protocol == asio::ip::udp::v6()) {
        return {asio::ip::make_address_v6(asio::ip::v4_mapped, v4), endpoint.portNumber};
    }
    return {v4, endpoint.portNumber};
}

bool EndpointConversion::sendable(const Endpoint& endpoint) {
    if (endpoint.empty() || endpoint.portNumber == 0) return false;
    return !isUnspecified(toSocket(endpoint, asio::ip::udp::v4()).address());
}
