// Which sources a group member hears.
#include <string>
#include <system_error>
#include <vector>

#include "udp/Internals.h"
#include "udp/Multicast.h"
#include "udp/SystemErrors.h"

void UDPServer::setSources(const std::vector<std::string>& sources) {
    Internals& in = *internals;
    const asio::ip::address& group = in.localEndpoint.address();
    if (!group.is_multicast()) {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported),
                                "only a multicast group member names the sources it hears");
    }
    if (sources.empty()) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "a source-specific membership needs a source");
    }
    std::vector<asio::ip::address> wanted;
    for (const std::string& text : sources) {
        const ParsedAddress parsed = parseNumericAddress(text);
        if (parsed.error) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "source '" + text + "' is not a numeric address");
        }
        if (parsed.address.is_v6() != group.is_v6() || parsed.address.is_multicast() ||
            isUnspecified(parsed.address)) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "source " + text + " cannot send to the " +
                                        (group.is_v6() ? "IPv6" : "IPv4") + " group " +
                                        group.to_string());
        }
        wanted.push_back(parsed.address);
    }
    const auto lock = in.lockWhileStopped("the sources of a group");
    std::error_code error;
    asio::ip::address failed;
    joinSources(in.home().socket(), group, in.groupSources, wanted, error, failed);
    if (error) {
        throw std::system_error(standardCode(error),
                                "join: group " + group.to_string() +
                                    (failed.is_unspecified() ? std::string()
                                                             : " from source " + failed.to_string()));
    }
    in.groupSources = wanted;
}
