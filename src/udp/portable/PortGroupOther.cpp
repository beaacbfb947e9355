// Platforms that do not spread one UDP port's senders over several sockets:
// Windows has no such option, and where SO_REUSEPORT exists beyond Linux it
// hands unicast datagrams to one socket of the group.
#include "udp/NativeSocket.h"

bool spreadsPortOverSockets() { return false; }

void sharePort(ServerSocket&, bool, std::error_code& error) {
    error = std::make_error_code(std::errc::operation_not_supported);
}
