// Receivers that wait until the socket is readable, then take what it holds
// without blocking (Linux, Windows): the wait, shared.
#include "udp/Worker.h"

void Worker::armWait() {
    std::lock_guard<std::mutex> lock(socketMutex);
    boundSocket.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) {
        receiving.pending = false;
        if (error) {
            receiving.batch.clear();
            receiving.batch.commitFailure(error);
        } else {
            takeAnew(false);
        }
        receive();
    });
    receiving.pending = true;
}
