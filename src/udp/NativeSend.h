#pragma once

#include <cstddef>
#include <system_error>

#include <asio/ip/udp.hpp>

// Sends one datagram on the socket's native handle without blocking, on the
// calling thread; the socket is in non-blocking mode. Returns the platform's
// error (would_block when the send buffer is full) and sets `sent` on
// success. Safe to call from several threads at once on one socket.
std::error_code sendWithoutBlocking(asio::ip::udp::socket::native_handle_type socket,
                                    const char* data, std::size_t size,
                                    const asio::ip::udp::endpoint& to, std::size_t& sent);
