#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include <asio/ip/udp.hpp>

#include "udp/NativeSocket.h"

// What the system says of a socket opened elsewhere.
struct ForeignSocket {
    asio::ip::udp::endpoint local;  // where it is bound
    bool dualStack = false;         // an IPv6 socket that takes IPv4 too
    bool sharedPort = false;        // in a SO_REUSEPORT group
};

// Reads `handle` without changing it: whether it is an open, bound UDP
// socket, and how. Throws std::system_error naming what it is not
// (bad_file_descriptor, not_a_socket, wrong_protocol_type,
// invalid_argument for one not bound). Platform-specific.
ForeignSocket inspectForeignSocket(std::uintptr_t handle);

// Makes the handle what a server's socket must be: non-blocking and not
// inherited by child processes; sets `error` if the system refuses.
// Platform-specific.
void prepareForeignSocket(std::uintptr_t handle, std::error_code& error);
