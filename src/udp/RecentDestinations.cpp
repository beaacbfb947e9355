#include "udp/RecentDestinations.h"

#include <cstdint>

#include "udp/Prefix.h"

RecentDestinations::RecentDestinations()
    : origin(std::chrono::steady_clock::now()),
      slots(new std::atomic<std::uint64_t>[kSets * kWays]) {
    for (std::size_t i = 0; i < kSets * kWays; ++i) slots[i].store(0, std::memory_order_relaxed);
}

// An IPv4-mapped destination is the IPv4 one, as the system reports it
// either way.
RecentDestinations::Key RecentDestinations::keyOf(const asio::ip::udp::endpoint& to) const {
    const SourceAddress address = SourceAddress::of(to.address());
    const std::uint64_t tweak = (address.v6 ? std::uint64_t{1} << 32 : 0) | to.port();
    const std::uint64_t h = hash(address.value, tweak);
    return {static_cast<std::size_t>(h & (kSets - 1)) * kWays, static_cast<std::uint32_t>(h >> 32)};
}

// Seconds since construction, from 1 (0 marks an empty slot).
std::uint32_t RecentDestinations::secondsAt(std::chrono::steady_clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - origin).count();
    return static_cast<std::uint32_t>(elapsed < 0 ? 1 : elapsed + 1);
}

// The destination's own slot if it has one, else its set's oldest. A slot
// already saying the same is left alone, so that a stream of sends to one
// destination does not keep writing its cache line.
void RecentDestinations::note(const asio::ip::udp::endpoint& to,
                              std::chrono::steady_clock::time_point now) {
    const Key key = keyOf(to);
    const std::uint64_t entry = (std::uint64_t{key.fingerprint} << 32) | secondsAt(now);
    std::size_t oldest = key.set;
    std::uint32_t oldestSeconds = UINT32_MAX;
    for (std::size_t i = key.set; i < key.set + kWays; ++i) {
        const std::uint64_t held = slots[i].load(std::memory_order_relaxed);
        if (static_cast<std::uint32_t>(held >> 32) == key.fingerprint && held != 0) {
            if (held != entry) slots[i].store(entry, std::memory_order_relaxed);
            return;
        }
        if (static_cast<std::uint32_t>(held) < oldestSeconds) {
            oldest = i;
            oldestSeconds = static_cast<std::uint32_t>(held);
        }
    }
    slots[oldest].store(entry, std::memory_order_relaxed);
}

bool RecentDestinations::sentTo(const asio::ip::udp::endpoint& to,
                                std::chrono::steady_clock::time_point now) const {
    const Key key = keyOf(to);
    const std::uint32_t nowSeconds = secondsAt(now);
    for (std::size_t i = key.set; i < key.set + kWays; ++i) {
        const std::uint64_t held = slots[i].load(std::memory_order_relaxed);
        const auto seconds = static_cast<std::uint32_t>(held);
        if (seconds != 0 && static_cast<std::uint32_t>(held >> 32) == key.fingerprint) {
            return nowSeconds >= seconds &&
                   nowSeconds - seconds <= static_cast<std::uint32_t>(kHorizon.count());
        }
    }
    return false;
}
