// Platforms without recvmmsg: an asynchronous receive into the batch's first
// slot, then non-blocking receives for the rest until the socket is empty.
#include <asio/buffer.hpp>
#include <asio/error.hpp>

#include "udp/Internals.h"

void UDPServer::Internals::armWait(UDPServer& server) {
    batch.clear();
    ReceiveBatch::Slot& first = batch.slot(0);
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_receive_from(
        asio::buffer(first.bytes, ReceiveBatch::kSlotSize), first.sender,
        [this, &server](const std::error_code& error, std::size_t size) {
            receivePending = false;
            ReceiveBatch::Slot& received = batch.slot(0);
            received.error = error;
            received.size = size;
            batch.commit();
            if (!error) takeBatch();
            server.receive();
        });
    receivePending = true;
}

void UDPServer::Internals::takeBatch() {
    while (!batch.full()) {
        ReceiveBatch::Slot& slot = batch.slot(batch.filled());
        std::error_code error;
        slot.size = socket.receive_from(asio::buffer(slot.bytes, ReceiveBatch::kSlotSize),
                                        slot.sender, 0, error);
        if (error == asio::error::would_block) return;
        slot.error = error;
        batch.commit();
        if (error) return;  // reported in its turn; the next wait resumes
    }
}
