#pragma once

#include <cstdint>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "udp/NativeSocket.h"

// How a server's socket is opened: where it binds, whether an IPv6 socket
// takes IPv4 too, whether it may send to broadcast addresses, and whether it
// joins the port group of the server's other workers. Or, `adopted`, the
// socket that `handle` is, already bound as the rest says.
struct SocketPlan {
    asio::ip::udp::endpoint local;
    bool dualStack = false;
    bool broadcast = false;
    bool sharedPort = false;
    bool adopted = false;
    std::uintptr_t handle = 0;
};

// The plan of a socket opened elsewhere, as the system describes it; throws
// what inspectForeignSocket() throws.
SocketPlan adoptionPlan(std::uintptr_t handle);

// Opens and binds a socket on `context` as `plan` says (or takes the adopted
// one, changing only what the server needs); failures throw
// std::system_error with the context word "open", "bind", "join" or "adopt"
// and the platform's code.
ServerSocket openBound(asio::io_context& context, const SocketPlan& plan);
