// Platforms without recvmmsg: an asynchronous receive into the batch's first
// area, then non-blocking receives for the rest until the socket is empty.
// They have no count of the datagrams the system dropped, and do not tell
// where a datagram arrived.
#include <algorithm>
#include <array>

#include <asio/buffer.hpp>
#include <asio/error.hpp>

#include "udp/SocketOptions.h"
#include "udp/Worker.h"

namespace {

// A datagram longer than its area runs on into the spill room, so a receive
// never has to cut it (some platforms report a cut datagram's size as 0) and
// its whole size tells that it was too long.
std::array<asio::mutable_buffer, 2> roomFor(ReceiveBatch& batch, std::size_t index) {
    return {asio::buffer(batch.area(index), batch.areaSize()),
            asio::buffer(batch.spill(), ReceiveBatch::kSpillSize)};
}

void record(ReceiveBatch& batch, const std::error_code& error, std::size_t size) {
    if (error) {
        batch.commitFailure(error);
    } else {
        batch.commitDatagram(size, 0);
    }
}

}  // namespace

void Worker::armWait() {
    receiving.batch.clear();
    ReceiveBatch::Receipt& first = receiving.batch.receipt(0);
    std::lock_guard<std::mutex> lock(socketMutex);
    boundSocket.async_receive_from(
        roomFor(receiving.batch, 0), first.sender,
        [this](const std::error_code& error, std::size_t size) {
            receiving.pending = false;
            record(receiving.batch, error, size);
            if (!error) takeBatch(false);
            receive();
        });
    receiving.pending = true;
}

// Never asked to wait: the worker waits in its event loop alone here.
void Worker::takeBatch(bool) {
    ReceiveBatch& batch = receiving.batch;
    if (errorsMayWait.load(std::memory_order_relaxed)) takeDestinationErrors();
    while (!batch.full()) {
        const std::size_t index = batch.filled();
        std::error_code error;
        const std::size_t size =
            boundSocket.receive_from(roomFor(batch, index), batch.receipt(index).sender, 0, error);
        if (error == asio::error::would_block) return;
        record(batch, error, size);
        if (error) return;  // reported in its turn; the next wait resumes
    }
}

void Worker::askSystemDrops() {}

// No word of unreachable destinations reaches these receives.
void Worker::takeDestinationErrors() { errorsMayWait.store(false, std::memory_order_relaxed); }

Arrival readArrival(const ReceiveBatch::Datagram&) { return {}; }

// Nothing is asked of these sockets beyond binding, and they tell nothing
// with a datagram.
void applyOptions(ServerSocket&, const SocketOptions&, std::error_code&) {}
void enableDestinationErrors(ServerSocket&) {}
void readNetworkFacts(const ReceiveBatch::Datagram&, UDPServer::DatagramInfo&) {}

bool enableTrains(ServerSocket&) { return false; }

bool enableWaitInReceive(ServerSocket&, std::chrono::microseconds) { return false; }
