#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <dravik/UDPServer.h>

#include <asio/ip/udp.hpp>

#include "udp/CompletedSends.h"
#include "udp/NativeSocket.h"
#include "udp/Route.h"

// Whether one socket may hand runs of equal-sized datagrams to the system as
// one segmented send. Untried until the first such send; a system that
// refuses that one as not possible is not asked again. Segments larger than
// the path's MTU are refused as too large (or, once segmented sends have
// worked, as not possible): runs of that size or larger are no longer
// offered. Any thread.
class SegmentationOffload {
public:
    enum class State { Untried, Works, Refused };

    explicit SegmentationOffload(State initial = State::Untried) : state(initial) {}

    bool allowed(std::uint64_t segmentSize) const {
        return state.load(std::memory_order_relaxed) != State::Refused &&
               segmentSize < refusedFrom.load(std::memory_order_relaxed);
    }
    State current() const { return state.load(std::memory_order_relaxed); }
    void noteWorked() {
        State untried = State::Untried;
        state.compare_exchange_strong(untried, State::Works, std::memory_order_relaxed);
    }
    // The system refused a segmented send of `segmentSize` as not possible.
    void noteRefused(std::uint64_t segmentSize) {
        State untried = State::Untried;
        if (!state.compare_exchange_strong(untried, State::Refused, std::memory_order_relaxed)) {
            noteTooLarge(segmentSize);
        }
    }
    // ... as too large.
    void noteTooLarge(std::uint64_t segmentSize) {
        std::uint64_t smallest = refusedFrom.load(std::memory_order_relaxed);
        while (segmentSize < smallest &&
               !refusedFrom.compare_exchange_weak(smallest, segmentSize, std::memory_order_relaxed)) {
        }
    }

private:
    std::atomic<State> state;
    std::atomic<std::uint64_t> refusedFrom{UINT64_MAX};
};

// The most datagrams sendBatchWithoutBlocking() takes in one call.
constexpr std::size_t kMaxBatch = 64;

// A datagram for the batch sender: its bytes and where they go.
struct Outgoing {
    const char* data;
    std::uint64_t size;
    const Route* route;
};

// Sends datagrams[0..count), count <= kMaxBatch, each along its route, on the socket's
// native handle without blocking, in order and in as few system calls as the
// platform allows. Sets outcomes[i] for every datagram handled: sent, or
// refused by the system (which does not stop the batch, as it would not stop
// one send after another). Returns how many were handled: fewer than `count`
// only when the send buffer has no room for the next one. Safe to call from
// several threads at once on one socket. Platform-specific.
std::size_t sendBatchWithoutBlocking(ServerSocket::native_handle_type socket,
                                     const Outgoing* datagrams, std::size_t count,
                                     SegmentationOffload& offload,
                                     CompletedSends::Outcome* outcomes);
