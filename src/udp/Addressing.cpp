#include "udp/Addressing.h"

#include <sstream>

int checkedPort(int port, const char* role) {
    if (port < 0 || port > 65535) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                std::string(role) + " port " + std::to_string(port) +
                                    " is outside 0 to 65535");
    }
    return port;
}

ParsedAddress parseNumericAddress(const std::string& text) {
    ParsedAddress parsed;
    const asio::ip::address_v6 v6 = asio::ip::make_address_v6(text, parsed.error);
    if (!parsed.error) {
        parsed.address = v6;
        return parsed;
    }
    const asio::ip::address_v4 v4 = asio::ip::make_address_v4(text, parsed.error);
    if (!parsed.error) {
        parsed.address = v4;
    }
    return parsed;
}

std::string endpointText(const asio::ip::udp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}
