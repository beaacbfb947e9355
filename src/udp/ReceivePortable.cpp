// Platforms without recvmmsg: an asynchronous receive into the batch's first
// slot, then non-blocking receives for the rest until the socket is empty.
// They have no count of the datagrams the system dropped, and do not tell
// where a datagram arrived.
#include <algorithm>
#include <array>

#include <asio/buffer.hpp>
#include <asio/error.hpp>

#include "udp/Internals.h"

namespace {

// A datagram longer than its slot runs on into the spill room, so a receive
// never has to cut it (some platforms report a cut datagram's size as 0) and
// its whole size tells that it was too long.
std::array<asio::mutable_buffer, 2> roomFor(ReceiveBatch::Slot& slot, ReceiveBatch& batch) {
    return {asio::buffer(slot.bytes, batch.areaSize()),
            asio::buffer(batch.spill(), ReceiveBatch::kSpillSize)};
}

}  // namespace

void UDPServer::Internals::armWait(UDPServer& server) {
    receiving.batch.clear();
    ReceiveBatch::Slot& first = receiving.batch.slot(0);
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.async_receive_from(
        roomFor(first, receiving.batch), first.sender,
        [this, &server](const std::error_code& error, std::size_t size) {
            receiving.pending = false;
            ReceiveBatch::Slot& received = receiving.batch.slot(0);
            received.error = error;
            received.size = std::min(size, receiving.batch.maxDatagram());
            received.truncated = size > receiving.batch.maxDatagram();
            receiving.batch.commit();
            if (!error) takeBatch();
            server.receive();
        });
    receiving.pending = true;
}

void UDPServer::Internals::takeBatch() {
    while (!receiving.batch.full()) {
        ReceiveBatch::Slot& slot = receiving.batch.slot(receiving.batch.filled());
        std::error_code error;
        const std::size_t size =
            socket.receive_from(roomFor(slot, receiving.batch), slot.sender, 0, error);
        if (error == asio::error::would_block) return;
        slot.size = std::min(size, receiving.batch.maxDatagram());
        slot.truncated = size > receiving.batch.maxDatagram();
        slot.error = error;
        receiving.batch.commit();
        if (error) return;  // reported in its turn; the next wait resumes
    }
}

void UDPServer::Internals::askSystemDrops() {}

Arrival readArrival(const ReceiveBatch::Slot&) { return {}; }

bool enableTrains(ServerSocket&) { return false; }
