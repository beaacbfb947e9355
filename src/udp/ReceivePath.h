#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "udp/NetworkInterfaces.h"
#include "udp/ReceiveBatch.h"
#include "udp/SystemDropCount.h"

// A worker's receive state: the batch taken from its socket, the datagram
// being delivered, and what the system dropped. The worker's thread only, and
// a thread that runs while no worker does (successive threads are ordered by
// join and thread start).
class ReceivePath {
public:
    ReceiveBatch batch;
    // Whether a wait or a posted take is outstanding, so that exactly one is.
    bool pending = false;

    // The accepted datagram being delivered, handed to the delegate where it
    // lies in the batch (no area is refilled before every datagram has been
    // delivered, and the batch's view of it lasts until the next is taken),
    // and with it its sender and arrival.
    void accept(const ReceiveBatch::Datagram& accepted) { datagram = &accepted; }
    const ReceiveBatch::Datagram& delivered() const { return *datagram; }
    // The "Received" line: the prefix, then each datagram's payload in turn.
    std::string receivedLine;

    // The system's drop count: readings, what was taken since it was last
    // asked for, and whether it rides on every datagram.
    SystemDropCount systemDrops;
    std::size_t backlogBytes = 0;
    bool dropsRideOnDatagrams = false;

    // The names of the interfaces datagrams arrive on.
    InterfaceNameCache interfaceNames;

private:
    const ReceiveBatch::Datagram* datagram = nullptr;
};
