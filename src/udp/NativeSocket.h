#pragma once

#include <chrono>
#include <cstddef>
#include <system_error>

#include <asio/basic_datagram_socket.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "udp/Route.h"

// The server's socket, bound to the event loop's own executor type, which
// spares every operation the cost of a type-erased executor.
using ServerSocket = asio::basic_datagram_socket<asio::ip::udp, asio::io_context::executor_type>;

// Opens `socket` for `protocol` so that child processes do not inherit it
// (close-on-exec on POSIX, not inheritable on Windows); sets `error` on
// failure.
void openNotInherited(ServerSocket& socket, const asio::ip::udp& protocol, std::error_code& error);

// Sends one datagram along `route` on the socket's native handle without
// blocking, on the calling thread; the socket is in non-blocking mode. A fixed
// source is honoured where the platform can (not on Windows, so far). Returns the platform's
// error (would_block when the send buffer is full) and sets `sent` on
// success. Safe to call from several threads at once on one socket.
std::error_code sendWithoutBlocking(ServerSocket::native_handle_type socket, const char* data,
                                    std::size_t size, const Route& route,
                                    std::size_t& sent);

// The socket's receive and send buffer sizes as the system reports them
// (getsockopt), 0 if it does not; asio's options halve Linux's figures.
int receiveBufferSize(ServerSocket::native_handle_type socket);
int sendBufferSize(ServerSocket::native_handle_type socket);

// Asks the system to tell, with every datagram received, where it arrived
// (what readArrival() reads). Where the platform cannot, nothing happens.
void enableArrivalInfo(ServerSocket& socket);

// Asks the system to hand over trains of equal datagrams as one receive;
// false where it cannot. Platform-specific, beside the receive path.
bool enableTrains(ServerSocket& socket);

// Lets the worker wait in the socket's receive itself, for at most `limit`
// at a time; false where it cannot, and it then waits in its event loop
// alone. Every other call on the socket says that it must not block.
// Platform-specific, beside the receive path.
bool enableWaitInReceive(ServerSocket& socket, std::chrono::microseconds limit);

// Whether the platform spreads one port's senders over several sockets bound
// to it (Linux, SO_REUSEPORT: by each sender's address and port).
bool spreadsPortOverSockets();
// Lets other sockets of the same user bind the socket's port and share its
// senders (`on`), or no more; sets `error` where the platform cannot. Works
// on a bound socket too, which then heads the group the next one forms.
void sharePort(ServerSocket& socket, bool on, std::error_code& error);
