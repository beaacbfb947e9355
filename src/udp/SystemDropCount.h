#pragma once

#include <cstdint>

// The system's count of datagrams it dropped on a socket is cumulative and
// 32 bits wide, and the same count arrives many times (on every datagram it
// rides with, and when asked for). Readings become growth here, each drop
// counted once and the wrap taken in stride.
class SystemDropCount {
public:
    // By how much the count grew since the newest reading so far. A reading
    // no newer than that one (it rode on a datagram queued earlier) adds
    // nothing.
    std::uint32_t advance(std::uint32_t reading) {
        const std::uint32_t growth = reading - newest;
        if (growth == 0 || growth > 0x80000000u) return 0;
        newest = reading;
        return growth;
    }

private:
    std::uint32_t newest = 0;  // a new socket has dropped nothing
};
