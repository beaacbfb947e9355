#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "udp/NativeSocket.h"

// How a server's socket is opened: where it binds, whether an IPv6 socket
// takes IPv4 too, whether it may send to broadcast addresses, and whether it
// joins the port group of the server's other workers.
struct SocketPlan {
    asio::ip::udp::endpoint local;
    bool dualStack = false;
    bool broadcast = false;
    bool sharedPort = false;
};

// Opens and binds a socket on `context` as `plan` says; failures throw
// std::system_error with the context word "open", "bind" or "join" and the
// platform's code.
ServerSocket openBound(asio::io_context& context, const SocketPlan& plan);
