#include <dravik/Base64.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "base64/Tables.h"

namespace velmora::extensions::dravik {
namespace {

// Writes the four characters of a 24-bit group: two 12-bit halves, each
// looked up as a pair.
inline void encodeGroup(std::uint32_t bits, char* out) {
    std::memcpy(out, base64::kEncodePairs[bits >> 12].data(), 2);
    std::memcpy(out + 2, base64::kEncodePairs[bits & 0xfff].data(), 2);
}

std::string encodeBytes(const unsigned char* in, std::size_t size) {
    std::string text(base64::encodedSize(size), '\0');
    char* out = text.data();

    std::size_t i = 0;
    // Two groups per step from one 8-byte read (of which 6 bytes are used).
    for (; i + 8 <= size; i += 6, out += 8) {
        const std::uint64_t word = base64::loadBigEndian64(in + i);
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
    return text;
}

[[noreturn]] void fail() {
    throw std::runtime_error("Failed to decode Base64 string.");
}

}  // namespace

std::string Base64::encode(const std::string& bytes) {
    return encodeBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Base64::encode(const std::vector<std::uint8_t>& bytes) {
    return encodeBytes(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> Base64::decode(const std::string& text) {
    const std::size_t size = text.size();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(size / 4 * 3 + 4);
    if (size % 4 != 0) fail();
    if (size == 0) return bytes;

    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const auto& shifted = base64::kDecodeShifted;
    // Written in place; the final size is set at the end, within the reserve.
    bytes.resize(size / 4 * 3);
    std::uint8_t* out = bytes.data();

    // Every quartet but the last: four alphabet characters, three bytes.
    const std::size_t last = size - 4;
    for (std::size_t i = 0; i < last; i += 4, out += 3) {
        const std::uint32_t bits =
            shifted[0][in[i]] | shifted[1][in[i + 1]] | shifted[2][in[i + 2]] | shifted[3][in[i + 3]];
        if (bits & base64::kInvalid) fail();
        out[0] = std::uint8_t(bits >> 16);
        out[1] = std::uint8_t(bits >> 8);
        out[2] = std::uint8_t(bits);
    }

    // The last quartet may end in "=" or "==".
    const unsigned char* q = in + last;
    std::uint32_t bits = shifted[0][q[0]] | shifted[1][q[1]];
    std::size_t tail = 1;
    if (q[2] == '=') {
        if (q[3] != '=') fail();
    } else {
        bits |= shifted[2][q[2]];
        tail = 2;
        if (q[3] != '=') {
            bits |= shifted[3][q[3]];
            tail = 3;
        }
    }
    if (bits & base64::kInvalid) fail();
    out[0] = std::uint8_t(bits >> 16);
    if (tail > 1) out[1] = std::uint8_t(bits >> 8);
    if (tail > 2) out[2] = std::uint8_t(bits);
    bytes.resize(bytes.size() - 3 + tail);
    return bytes;
}

}  // namespace velmora::extensions::dravik
