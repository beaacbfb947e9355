#include <cstring>

#include "base64/Codec.h"
#include "base64/Tables.h"

namespace velmora::extensions::dravik::base64 {
namespace {

// Writes the four characters of a 24-bit group: two 12-bit halves, each
// looked up as a pair.
inline void encodeGroup(std::uint32_t bits, char* out) {
    std::memcpy(out, kEncodePairs[bits >> 12].data(), 2);
    std::memcpy(out + 2, kEncodePairs[bits & 0xfff].data(), 2);
}

}  // namespace

void encodeScalar(const unsigned char* in, std::size_t size, char* out) {
    std::size_t i = 0;
    // Two groups per step from one 8-byte read (of which 6 bytes are used).
    for (; i + 8 <= size; i += 6, out += 8) {
        const std::uint64_t word = loadBigEndian64(in + i);
        encodeGroup(std::uint32_t(word >> 40), out);
        encodeGroup(std::uint32_t(word >> 16) & 0xffffff, out + 4);
    }
    for (; i + 3 <= size; i += 3, out += 4) {
        encodeGroup(std::uint32_t(in[i]) << 16 | std::uint32_t(in[i + 1]) << 8 | in[i + 2], out);
    }
    const std::size_t left = size - i;
    if (left > 0) {
        const std::uint32_t second = left == 2 ? in[i + 1] : 0;
        encodeGroup(std::uint32_t(in[i]) << 16 | second << 8, out);
        if (left == 1) out[2] = '=';
        out[3] = '=';
    }
}

std::size_t decodeScalar(const unsigned char* in, std::size_t size, unsigned char* out) {
    if (size == 0) return 0;
    const auto& shifted = kDecodeShifted;
    unsigned char* const start = out;

    // Every quartet but the last: four alphabet characters, three bytes.
    const std::size_t last = size - 4;
    for (std::size_t i = 0; i < last; i += 4, out += 3) {
        const std::uint32_t bits =
            shifted[0][in[i]] | shifted[1][in[i + 1]] | shifted[2][in[i + 2]] | shifted[3][in[i + 3]];
        if (bits & kInvalid) return kRefused;
        out[0] = std::uint8_t(bits >> 16);
        out[1] = std::uint8_t(bits >> 8);
        out[2] = std::uint8_t(bits);
    }

    // The last quartet may end in "=" or "==".
    const unsigned char* q = in + last;
    std::uint32_t bits = shifted[0][q[0]] | shifted[1][q[1]];
    std::size_t tail = 1;
    if (q[2] == '=') {
        if (q[3] != '=') return kRefused;
    } else {
        bits |= shifted[2][q[2]];
        tail = 2;
        if (q[3] != '=') {
            bits |= shifted[3][q[3]];
            tail = 3;
        }
    }
    if (bits & kInvalid) return kRefused;
    out[0] = std::uint8_t(bits >> 16);
    if (tail > 1) out[1] = std::uint8_t(bits >> 8);
    if (tail > 2) out[2] = std::uint8_t(bits);
    return std::size_t(out - start) + tail;
}

const Codec& scalarCodec() {
    static constexpr Codec codec{"scalar", encodeScalar, decodeScalar};
    return codec;
}

}  // namespace velmora::extensions::dravik::base64
