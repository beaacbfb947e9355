#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "udp/ReceiveBatch.h"
#include "udp/SystemDropCount.h"

// The receive side's state: the batch taken from the socket, the datagram
// being delivered, and what the system dropped. Worker thread only, and a
// thread that runs while no worker does (successive workers are ordered by
// join and thread start).
class ReceivePath {
public:
    ReceiveBatch batch;
    // Whether a wait or a posted take is outstanding, so that exactly one is.
    bool pending = false;

    // The accepted datagram being delivered, handed to the delegate where it
    // lies in the batch (no slot is refilled before every one has been
    // delivered), and with it its sender and arrival.
    void accept(const ReceiveBatch::Slot& accepted) { slot = &accepted; }
    const char* message() const { return slot->bytes; }
    std::uint64_t messageSize() const { return slot->size; }
    const ReceiveBatch::Slot& delivered() const { return *slot; }
    // The "Received" line: the prefix, then each datagram's payload in turn.
    std::string receivedLine;

    // The system's drop count: readings, what is counted but not yet logged,
    // what was taken since it was last asked for, and whether it rides on
    // every datagram.
    SystemDropCount systemDrops;
    std::uint64_t dropsToLog = 0;
    std::size_t backlogBytes = 0;
    bool dropsRideOnDatagrams = false;

private:
    const ReceiveBatch::Slot* slot = nullptr;
};
