#pragma once

#include <system_error>

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
