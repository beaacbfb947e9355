#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

    // The accepted datagram being delivered: its copy, handed to the
    // delegate, and the slot it came in, for its sender and arrival.
    void accept(const ReceiveBatch::Slot& slot);
    const char* message() const { return messageBuffer.data(); }
    std::uint64_t messageSize() const { return slot->size; }
    const ReceiveBatch::Slot& delivered() const { return *slot; }
    // The "Received" line, rebuilt in place for every datagram.
    std::string receivedLine;

    // The system's drop count: readings, what is counted but not yet logged,
    // what was taken since it was last asked for, and whether it rides on
    // every datagram.
    SystemDropCount systemDrops;
    std::uint64_t dropsToLog = 0;
    std::size_t backlogBytes = 0;
    bool dropsRideOnDatagrams = false;

private:
    std::vector<char> messageBuffer = std::vector<char>(ReceiveBatch::kDefaultDatagram);
    const ReceiveBatch::Slot* slot = nullptr;
};
