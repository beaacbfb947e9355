#pragma once

#include <cstddef>

#include <asio/ip/udp.hpp>

#include "udp/DestinationError.h"

// What one message of a socket's error queue (IP_RECVERR, IPV6_RECVERR)
// says: `control` and `controlSize` are its control data as the system
// filled them, `destination` the address it names (the refused datagram's
// destination). Fills `out` and returns true for a destination that could
// not be reached; false for anything else the queue may hold, and for
// control data that says nothing readable. Reads nothing outside `control`'s
// `controlSize` bytes, whatever the lengths within them claim.
bool readDestinationError(const char* control, std::size_t controlSize,
                          const asio::ip::udp::endpoint& destination, DestinationError& out);
