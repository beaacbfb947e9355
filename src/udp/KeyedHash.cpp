#include "udp/KeyedHash.h"

#include <random>

namespace {

constexpr std::uint64_t rotate(std::uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotate(v1, 13); v1 ^= v0; v0 = rotate(v0, 32);
        v2 += v3; v3 = rotate(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotate(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotate(v1, 17); v1 ^= v2; v2 = rotate(v2, 32);
    }
    void absorb(std::uint64_t word) {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

std::uint64_t randomWord() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

KeyedHash::KeyedHash() : k0(randomWord()), k1(randomWord()) {}

// Three words in: the value's two halves and the tweak (the family, the
// length, a port), then the length byte SipHash ends with.
std::uint64_t KeyedHash::operator()(const Wide& value, std::uint64_t tweak) const {
    State s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
            k1 ^ 0x7465646279746573ull};
    s.absorb(value.high);
    s.absorb(value.low);
    s.absorb(tweak);
    s.absorb(std::uint64_t{24} << 56);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
