// Platforms without recvmmsg: an asynchronous receive into the batch's first
// slot, then non-blocking receives for the rest until the socket is empty.
#include <algorithm>
#include <array>

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

// A datagram longer than its slot runs on into the spill room, so the receive
// never has to cut it: some platforms report a cut datagram's size as 0.
void UDPServer::Internals::takeBatch() {
    while (!batch.full()) {
        ReceiveBatch::Slot& slot = batch.slot(batch.filled());
        const std::array<asio::mutable_buffer, 2> room{
            asio::buffer(slot.bytes, ReceiveBatch::kSlotSize),
            asio::buffer(batch.spill(), ReceiveBatch::kSpillSize)};
        std::error_code error;
        const std::size_t size = socket.receive_from(room, slot.sender, 0, error);
        if (error == asio::error::would_block) return;
        slot.size = std::min(size, ReceiveBatch::kSlotSize);
        slot.error = error;
        batch.commit();
        if (error) return;  // reported in its turn; the next wait resumes
    }
}
