#pragma once

#include <cstdint>

#include <dravik/export.h>

// Receives the datagrams that a UDPServer accepts. The application implements
// and owns it; it must stay alive while a server points at it, that is until
// that server's stop() has returned or the server is destroyed.
class DRAVIK_EXPORT UDPServerDelegate {
public:
    // Called on the server's worker thread, one datagram at a time and in
    // arrival order, for each accepted non-empty datagram. A server with
    // several workers (UDPServer::setWorkers) calls it from each of them, at
    // once: one datagram at a time and in arrival order per sender. `data` points into
    // the server's own buffer and is valid only during the call. The next
    // datagram is delivered once it returns; meanwhile datagrams wait in the
    // socket's buffer or in the batch the server has taken from it. An
    // exception that escapes is logged and reception goes on.
    virtual void messageReceived(const char* data, std::uint64_t size) = 0;

    virtual ~UDPServerDelegate();
};
