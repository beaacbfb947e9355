#include "udp/RateLimiter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>

namespace {

constexpr double kMostTolerance = 100.0 * 365 * 24 * 3600 * 1e9;

[[noreturn]] void refuse(const std::string& why) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument), why);
}

}  // namespace

void RateLimiter::check(const UDPServer::RateLimit& limit) {
    if (!(limit.perSecond == 0 || (limit.perSecond >= 1e-3 && limit.perSecond <= 1e9))) {
        refuse("a rate limit's rate must be 0 (none) or 0.001 to 1e9 a second");
    }
    if (!(limit.burst >= 1 && limit.burst <= 1e9)) refuse("a rate limit's burst must be 1 to 1e9");
    if (limit.ipv4PrefixLength < 0 || limit.ipv4PrefixLength > 32) {
        refuse("a rate limit's IPv4 prefix length must be 0 to 32");
    }
    if (limit.ipv6PrefixLength < 0 || limit.ipv6PrefixLength > 128) {
        refuse("a rate limit's IPv6 prefix length must be 0 to 128");
    }
}

RateLimiter::RateLimiter(const UDPServer::RateLimit& limit, const KeyedHash& hash)
    : hash(hash),
      v4Length((check(limit), limit.ipv4PrefixLength)),
      v6Length(limit.ipv6PrefixLength),
      dryRun(limit.dryRun),
      exemptLoopback(limit.exemptLoopback),
      interval(std::max<std::int64_t>(1, std::llround(1e9 / limit.perSecond))),
      // At most a century ahead: the sums with the clock stay far from
      // overflow, whatever the rate and burst.
      tolerance(std::llround(std::min((limit.burst - 1) * static_cast<double>(interval),
                                      kMostTolerance))),
      buckets(new std::atomic<std::int64_t>[kBuckets]) {
    // Far in the past: every budget starts whole, whatever the clock reads.
    for (std::size_t i = 0; i < kBuckets; ++i) {
        buckets[i].store(INT64_MIN / 2, std::memory_order_relaxed);
    }
}

std::size_t RateLimiter::bucketOf(const SourceAddress& sender) const {
    const int length = sender.v6 ? v6Length : v4Length;
    const Wide prefix = sender.value.masked(length, sender.bits());
    const std::uint64_t tweak = (sender.v6 ? 0x600u : 0x400u) | static_cast<std::uint64_t>(length);
    return static_cast<std::size_t>(hash(prefix, tweak) & (kBuckets - 1));
}

// The bucket holds when the prefix's budget is whole again ("theoretical
// arrival time"): a token may be taken while that lies at most `tolerance`
// ahead of now, and taking one moves it `interval` on.
RateLimiter::Outcome RateLimiter::take(const SourceAddress& sender, std::int64_t now) {
    if (exemptLoopback && sender.loopback()) return Outcome::Pass;
    std::atomic<std::int64_t>& bucket = buckets[bucketOf(sender)];
    std::int64_t whole = bucket.load(std::memory_order_relaxed);
    for (;;) {
        const std::int64_t from = whole > now ? whole : now;
        if (from - now > tolerance) return dryRun ? Outcome::WouldRefuse : Outcome::Refuse;
        if (bucket.compare_exchange_weak(whole, from + interval, std::memory_order_relaxed)) {
            return Outcome::Pass;
        }
    }
}
