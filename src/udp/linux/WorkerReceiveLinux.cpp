// Linux: take up to a batch of datagrams with one recvmmsg call, once the
// event loop found the socket readable, or waiting in the call itself for the
// first datagram while they keep coming (MSG_WAITFORONE on a descriptor that
// blocks, for at most the receive time-out); where the system coalesces, a
// train of datagrams arrives in one area, and the batch splits it as it
// delivers.
//
// The system's count of the datagrams it dropped for want of room is asked
// for (SO_MEMINFO) whenever what was taken since the last ask may have filled
// the receive buffer: once the socket runs dry after such a backlog (drops at
// the end of a burst ride on no later datagram), and every buffer's worth
// while it never runs dry. Once the system has dropped any, the count also
// rides on every datagram (SO_RXQ_OVFL); not before, since that costs the
// system a tenth of a receive even while nothing is dropped.
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <asio/error.hpp>

#include "udp/linux/ErrorQueueLinux.h"
#include "udp/posix/HeldErrorsPosix.h"
#include "udp/linux/ReceiveHeadersLinux.h"
#include "udp/Worker.h"

namespace {

// What a datagram takes of the receive buffer besides its bytes, at least:
// the system charges its whole allocation, more than this. Its bytes are its
// whole length, not what its area kept: a large datagram fills the buffer
// with what is never delivered.
constexpr std::size_t kChargeFloor = 256;

}  // namespace

void Worker::askSystemDrops() {
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (::getsockopt(native, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
        size <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return;
    }
    countSystemDrops(memory[SK_MEMINFO_DROPS]);
    if (memory[SK_MEMINFO_DROPS] != 0 && !receiving.dropsRideOnDatagrams) {
        const int on = 1;
        receiving.dropsRideOnDatagrams =
            ::setsockopt(native, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    }
}

// Word of unreachable destinations comes on the error queue, which the
// system marks readable: a wait that finds no datagram, a receive that
// reports a held error, and a failed send all have the worker read it. A
// held error is no failed receive: the receive is made again once a step of
// the queue is read, or, while the queue holds more, in the next take.
void Worker::takeBatch(bool waits) {
    ReceiveBatch& batch = receiving.batch;
    // Only the worker's thread takes; its headers stay pointed at the batch
    // from one take to the next.
    static thread_local ReceiveHeaders headers;
    const std::size_t wanted = headers.prepare(batch);  // into a cleared batch
    if (errorsMayWait.load(std::memory_order_relaxed)) takeDestinationErrors();
    const auto receive = [&] {
        int taken;
        do {
            // A datagram longer than its area is cut to the area's size; with
            // MSG_TRUNC its length is still its whole length.
            taken = ::recvmmsg(native, headers.headers(), static_cast<unsigned>(wanted),
                               (waits ? MSG_WAITFORONE : MSG_DONTWAIT) | MSG_TRUNC, nullptr);
        } while (taken < 0 && errno == EINTR);
        return taken;
    };
    int taken = receive();
    if (taken < 0 && heldErrorOf(errno)) {
        takeDestinationErrors();
        taken = receive();
        if (taken < 0 && heldErrorOf(errno)) {
            // More than a step's worth: the next take comes at once.
            errorsMayWait.store(true, std::memory_order_relaxed);
            return;
        }
    }
    if (taken < 0) {
        // Waiting, the time-out passed.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            takeDestinationErrors();
            noteBacklog(true);
            return;
        }
        batch.commitFailure(std::error_code(errno, asio::error::get_system_category()));
        return;
    }
    headers.record(batch, static_cast<std::size_t>(taken));
    for (std::size_t i = 0; i < batch.filled(); ++i) {
        receiving.backlogBytes += batch.receipt(i).length + kChargeFloor;
    }
    // The newest datagram carries the newest count.
    std::uint32_t dropCount = 0;
    if (receiving.dropsRideOnDatagrams && taken > 0 &&
        headers.dropCount(static_cast<std::size_t>(taken) - 1, dropCount)) {
        countSystemDrops(dropCount);
    }
    noteBacklog(static_cast<std::size_t>(taken) < wanted);
}

void Worker::takeDestinationErrors() {
    errorsMayWait.store(false, std::memory_order_relaxed);
    if (drainErrorQueue(native, shared.unreachables)) {
        errorsMayWait.store(true, std::memory_order_relaxed);
    }
}

// The system charges a datagram up to a few times what is counted here, so a
// quarter of the buffer's size counted may have filled it.
void Worker::noteBacklog(bool ranDry) {
    const std::size_t buffer = static_cast<std::size_t>(receiveBufferBytes);
    const bool mayHaveFilled = receiving.backlogBytes >= (ranDry ? buffer / 4 : buffer);
    if (mayHaveFilled) askSystemDrops();
    if (mayHaveFilled || ranDry) receiving.backlogBytes = 0;
}

// The system hands such a socket trains of equal datagrams as one (UDP_GRO,
// since Linux 5.0); a kernel without it refuses the option.
bool enableTrains(ServerSocket& socket) {
    const int on = 1;
    return ::setsockopt(socket.native_handle(), SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

// The descriptor blocks, while asio, told that it does not, leaves it as it
// is; every other call on it says MSG_DONTWAIT, and the event loop only
// waits for readiness. The time-out bounds each wait in the receive.
bool enableWaitInReceive(ServerSocket& socket, std::chrono::microseconds limit) {
    const int fd = socket.native_handle();
    std::error_code error;
    socket.non_blocking(true, error);
    const timeval timeout{static_cast<time_t>(limit.count() / 1000000),
                          static_cast<suseconds_t>(limit.count() % 1000000)};
    const int flags = ::fcntl(fd, F_GETFL);
    return !error && flags >= 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
           ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}
