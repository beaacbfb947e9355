// Which sources a group member hears: any, or those it names.
#include <asio/ip/multicast.hpp>

#include "udp/Multicast.h"

namespace {

// Moves the socket's memberships of `group` from `current` to `wanted`
// (empty: any source); stops at the first refusal, naming where.
bool moveSources(ServerSocket& socket, const asio::ip::address& group,
                 const std::vector<asio::ip::address>& current,
                 const std::vector<asio::ip::address>& wanted, std::error_code& error,
                 asio::ip::address& failed) {
    std::error_code ignored;
    if (current.empty()) {
        socket.set_option(asio::ip::multicast::leave_group(group), error);
        if (error) return false;
    }
    for (const asio::ip::address& source : current) {
        setSourceMembership(socket, false, group, source, ignored);
    }
    if (wanted.empty()) {
        socket.set_option(asio::ip::multicast::join_group(group), error);
        return !error;
    }
    for (const asio::ip::address& source : wanted) {
        if (!setSourceMembership(socket, true, group, source, error)) {
            failed = source;
            return false;
        }
    }
    return true;
}

}  // namespace

void joinSources(ServerSocket& socket, const asio::ip::address& group,
                 const std::vector<asio::ip::address>& from,
                 const std::vector<asio::ip::address>& sources, std::error_code& error,
                 asio::ip::address& failed) {
    failed = group.is_v6() ? asio::ip::address(asio::ip::address_v6()) : asio::ip::address_v4();
    if (moveSources(socket, group, from, sources, error, failed)) return;
    std::vector<asio::ip::address> joined;
    for (const asio::ip::address& source : sources) {
        if (source == failed) break;
        joined.push_back(source);
    }
    std::error_code ignored;
    asio::ip::address where;
    moveSources(socket, group, joined, from, ignored, where);
}
