#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <asio/ip/udp.hpp>

#include "udp/KeyedHash.h"

// The destinations the server has sent to lately, so that a report of one
// being unreachable can be judged before it is believed: anyone who can
// reach the port can claim that a datagram to anywhere was refused. A table
// of fixed size (1,024 sets of 8 slots of one word, a cache line a set: 64
// KiB) in which a keyed hash of the destination's address and port picks the
// set; each slot holds a fingerprint of the destination and when it was last
// sent to, in seconds, and a new destination takes its set's oldest slot. So
// a destination is forgotten (its report then not believed) only once 8
// others of its set were sent to after it, and never mistaken for another
// but by a 32-bit fingerprint's chance. Any number of threads at once,
// without a lock: two that note at once may both take a slot, or one may
// lose its note, which costs at most a report believed as unsolicited.
class RecentDestinations {
public:
    static constexpr std::size_t kSets = 1024;
    static constexpr std::size_t kWays = 8;
    // How long a destination counts as recent.
    static constexpr std::chrono::seconds kHorizon{30};

    RecentDestinations();

    // Notes that a datagram goes to `to` now.
    void note(const asio::ip::udp::endpoint& to, std::chrono::steady_clock::time_point now);
    // Whether a datagram went to `to` within the horizon before `now`.
    bool sentTo(const asio::ip::udp::endpoint& to, std::chrono::steady_clock::time_point now) const;

private:
    struct Key {
        std::size_t set;  // its first slot
        std::uint32_t fingerprint;
    };
    Key keyOf(const asio::ip::udp::endpoint& to) const;
    std::uint32_t secondsAt(std::chrono::steady_clock::time_point now) const;

    const KeyedHash hash;
    const std::chrono::steady_clock::time_point origin;
    std::unique_ptr<std::atomic<std::uint64_t>[]> slots;
};
