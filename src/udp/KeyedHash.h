#pragma once

#include <cstdint>

#include "udp/Prefix.h"

// A hash keyed with a secret drawn at random for each server (SipHash-1-3 of
// two words), so that no sender can tell, or choose, which values share a
// slot of a table it indexes.
class KeyedHash {
public:
    // A new random key.
    KeyedHash();
    // A fixed key, for tests.
    KeyedHash(std::uint64_t key0, std::uint64_t key1) : k0(key0), k1(key1) {}

    std::uint64_t operator()(const Wide& value, std::uint64_t tweak) const;

private:
    std::uint64_t k0;
    std::uint64_t k1;
};
