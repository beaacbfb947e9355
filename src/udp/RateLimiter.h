#pragma once

#include <dravik/UDPServer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "udp/KeyedHash.h"
#include "udp/Prefix.h"

// Token buckets per sender prefix, in a table of fixed size: each bucket is
// one word, the time at which its prefix's budget would be whole again (the
// generic cell rate algorithm), so that taking a token is one
// compare-and-swap and a refusal writes nothing. Prefixes reach a bucket by
// a keyed hash; two that share one share its budget. Any number of threads
// at once, without a lock.
class RateLimiter {
public:
    static constexpr std::size_t kBuckets = 16384;

    // Throws std::system_error with invalid_argument for a rate, burst or
    // prefix length outside the ranges UDPServer::RateLimit gives; `limit`'s
    // perSecond must not be 0 (no limit needs no limiter).
    RateLimiter(const UDPServer::RateLimit& limit, const KeyedHash& hash);

    enum class Outcome { Pass, Refuse, WouldRefuse };
    // Takes a token from `sender`'s prefix at `now` (nanoseconds on a clock
    // that does not go back): Pass, or past the budget Refuse (WouldRefuse
    // in a dry run, which takes nothing).
    Outcome take(const SourceAddress& sender, std::int64_t now);

    // What the table holds, fixed at construction.
    static constexpr std::size_t memoryBytes() { return kBuckets * sizeof(std::int64_t); }

    // Checks `limit` as the constructor does.
    static void check(const UDPServer::RateLimit& limit);

private:
    std::size_t bucketOf(const SourceAddress& sender) const;

    const KeyedHash hash;
    const int v4Length;
    const int v6Length;
    const bool dryRun;
    const bool exemptLoopback;
    const std::int64_t interval;   // nanoseconds per token
    const std::int64_t tolerance;  // how far ahead of now a bucket may run: (burst - 1) tokens
    std::unique_ptr<std::atomic<std::int64_t>[]> buckets;
};
