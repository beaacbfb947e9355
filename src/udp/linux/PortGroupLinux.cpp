// Linux spreads a port's datagrams over the sockets of one user bound to it
// with SO_REUSEPORT, by a hash of each sender's address and port, so one
// sender's datagrams all reach one socket in order.
#include <sys/socket.h>

#include <cerrno>

#include <asio/error.hpp>

#include "udp/NativeSocket.h"

bool spreadsPortOverSockets() { return true; }

void sharePort(ServerSocket& socket, bool on, std::error_code& error) {
    const int value = on ? 1 : 0;
    if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) != 0) {
        error = std::error_code(errno, asio::error::get_system_category());
    }
}
