#pragma once

#include <dravik/UDPServer.h>

#include <cstdint>
#include <string>

#include <asio/ip/address.hpp>

// A 128-bit number, for IPv6 addresses and their prefixes (IPv4 ones use its
// low 32 bits), compared as the address's bytes are.
struct Wide {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    friend bool operator<(const Wide& a, const Wide& b) {
        return a.high < b.high || (a.high == b.high && a.low < b.low);
    }
    friend bool operator==(const Wide& a, const Wide& b) {
        return a.high == b.high && a.low == b.low;
    }
    friend bool operator!=(const Wide& a, const Wide& b) { return !(a == b); }
    // The first `length` of `bits` bits kept, the rest cleared.
    Wide masked(int length, int bits) const;
    // The first `length` of `bits` bits kept, the rest set.
    Wide filled(int length, int bits) const;
    Wide next() const { return low == UINT64_MAX ? Wide{high + 1, 0} : Wide{high, low + 1}; }
};

// An address as the policy and the limits see it: IPv4 (an IPv4-mapped IPv6
// address counts as IPv4) in the low 32 bits, or IPv6.
struct SourceAddress {
    bool v6 = false;
    Wide value;

    static SourceAddress of(const asio::ip::address& address);
    int bits() const { return v6 ? 128 : 32; }
    bool loopback() const;
};

// One sender rule, read from its text: the prefix's first address, its
// length and what it decides.
struct PrefixRule {
    bool v6 = false;
    Wide first;
    int length = 0;
    UDPServer::Verdict verdict = UDPServer::Verdict::Allow;

    int bits() const { return v6 ? 128 : 32; }
    Wide last() const { return first.filled(length, bits()); }
};

// Reads "10.0.0.0/8", "2001:db8::/32", "192.0.2.1" (/32) or "::1" (/128);
// "::ffff:10.0.0.0/104" is the IPv4 rule 10.0.0.0/8. Bits past the length
// must be clear. Throws std::system_error with invalid_argument naming the
// rule's text and what is wrong with it.
PrefixRule readPrefixRule(const UDPServer::SenderRule& rule);
