#pragma once

#include <system_error>
#include <vector>

#include <asio/ip/address.hpp>

#include "udp/NativeSocket.h"

// The address that a socket receiving `group`'s datagrams binds: the group
// itself where the system then hands it only datagrams sent to the group
// (POSIX, unless a link-local group comes without the scope that binding it
// needs), the family's any-address where binding a group is not allowed
// (Windows). Platform-specific.
asio::ip::address groupBindAddress(const asio::ip::address& group);

// Readies an open, unbound socket for a group: other members on this host may
// bind the same port, and the socket receives only the groups it joins
// itself, not those that other sockets joined (Linux would hand it those
// too). Platform-specific.
void prepareForGroup(ServerSocket& socket, const asio::ip::address& group, std::error_code& error);

// Joins (or leaves) `group` from `source` only, on the interface the
// any-source membership uses (IPv4: the one the routing picks; IPv6: the
// group's scope, or the default); false with `error` where the system
// refuses. Platform-specific.
bool setSourceMembership(ServerSocket& socket, bool join, const asio::ip::address& group,
                         const asio::ip::address& source, std::error_code& error);

// Has a group member receive `group` only from `sources` (all of the
// group's family), having left what `from` says it had (empty: any source).
// Where the system refuses, sets `error` and `failed` (the source, or the
// group's unspecified address for the group itself) and puts back what was.
void joinSources(ServerSocket& socket, const asio::ip::address& group,
                 const std::vector<asio::ip::address>& from,
                 const std::vector<asio::ip::address>& sources, std::error_code& error,
                 asio::ip::address& failed);
