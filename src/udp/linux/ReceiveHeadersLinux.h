#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "udp/ReceiveBatch.h"

// The headers of one recvmmsg call into a cleared batch: one per area, each
// naming its area, its control room and its receipt's sender. Once the system
// has filled them, record() turns what it reported into the areas' receipts;
// the batch then splits trains as it delivers them.
class ReceiveHeaders {
public:
    // Points the headers at the batch's areas; returns how many there are.
    // Headers that point there already only get back the room the system
    // wrote down to what it used.
    std::size_t prepare(ReceiveBatch& batch);
    mmsghdr* headers() { return entries; }

    // Records the first `taken` headers as the filled areas of `batch`, the
    // batch prepare() was given: each area's whole length, its sender, and
    // for a socket that takes trains a train's datagram size. A train whose
    // size the control data cannot tell (it was cut short) is recorded as an
    // error, never as one datagram.
    void record(ReceiveBatch& batch, std::size_t taken);

    // The system's drop count as it rode on the `index`th datagram, if it did.
    bool dropCount(std::size_t index, std::uint32_t& count) const;

private:
    // What the headers point into, as prepare() last found it.
    struct Target {
        const char* areas = nullptr;
        std::size_t areaSize = 0;
        std::size_t count = 0;
        const void* receipts = nullptr;
        bool operator==(const Target& other) const {
            return areas == other.areas && areaSize == other.areaSize && count == other.count &&
                   receipts == other.receipts;
        }
    };
    Target target;
    mmsghdr entries[ReceiveBatch::kMaxAreas];
    iovec vectors[ReceiveBatch::kMaxAreas];
};
