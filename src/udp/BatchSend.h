#pragma once

#include <atomic>
#include <cstddef>

#include <dravik/UDPServer.h>

#include <asio/ip/udp.hpp>

#include "udp/CompletedSends.h"
#include "udp/NativeSocket.h"

// Whether one socket may hand runs of equal-sized datagrams to the system as
// one segmented send. Untried until the first such send; a system that
// refuses that one is not asked again. Any thread.
class SegmentationOffload {
public:
    enum class State { Untried, Works, Refused };

    explicit SegmentationOffload(State initial = State::Untried) : state(initial) {}

    bool allowed() const { return state.load(std::memory_order_relaxed) != State::Refused; }
    State current() const { return state.load(std::memory_order_relaxed); }
    // Records how a segmented send went: `refused` when the system does not
    // take segmented sends at all.
    void noteResult(bool refused) {
        State untried = State::Untried;
        state.compare_exchange_strong(untried, refused ? State::Refused : State::Works,
                                      std::memory_order_relaxed);
    }

private:
    std::atomic<State> state;
};

// The most datagrams sendBatchWithoutBlocking() takes in one call.
constexpr std::size_t kMaxBatch = 64;

// Sends datagrams[0..count), count <= kMaxBatch, to `to` on the socket's
// native handle without blocking, in order and in as few system calls as the
// platform allows. Sets outcomes[i] for every datagram handled: sent, or
// refused by the system (which does not stop the batch, as it would not stop
// one send after another). Returns how many were handled: fewer than `count`
// only when the send buffer has no room for the next one. Safe to call from
// several threads at once on one socket. Platform-specific.
std::size_t sendBatchWithoutBlocking(ServerSocket::native_handle_type socket,
                                     const UDPServer::Datagram* datagrams, std::size_t count,
                                     const asio::ip::udp::endpoint& to,
                                     SegmentationOffload& offload,
                                     CompletedSends::Outcome* outcomes);
