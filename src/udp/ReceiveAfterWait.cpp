// Receivers that wait until the socket is readable, then take what it holds
// without blocking (Linux, Windows): the wait, shared.
#include "udp/Internals.h"

void UDPServer::Internals::armWait(UDPServer& server) {
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_wait(asio::socket_base::wait_read, [this, &server](const std::error_code& error) {
        receiving.pending = false;
        receiving.batch.clear();
        if (error) {
            receiving.batch.commitFailure(error);
        } else {
            takeBatch();
        }
        server.receive();
    });
    receiving.pending = true;
}
