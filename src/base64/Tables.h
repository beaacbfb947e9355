#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Lookup tables of the Base64 codec, built at compile time.
namespace velmora::extensions::dravik::base64 {

inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Four characters for every started group of three bytes.
constexpr std::size_t encodedSize(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// The two characters of every 12-bit value.
inline constexpr auto kEncodePairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return pairs;
}();

// The 8 bytes at `in` as one big-endian number (compilers turn this into a
// single load, byte-swapped where needed).
inline std::uint64_t loadBigEndian64(const unsigned char* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | in[i];
    return value;
}

// Set in a decoded value when a character is outside the alphabet ("=" too).
inline constexpr std::uint32_t kInvalid = 1u << 24;

// For the character at position p (0..3) of a quartet: its 6-bit value
// shifted into place for a 24-bit group, or kInvalid.
inline constexpr auto kDecodeShifted = [] {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (auto& table : tables) {
        for (auto& value : table) value = kInvalid;
    }
    for (std::uint32_t digit = 0; digit < 64; ++digit) {
        const auto c = static_cast<unsigned char>(kAlphabet[digit]);
        for (std::size_t p = 0; p < 4; ++p) tables[p][c] = digit << (18 - 6 * p);
    }
    return tables;
}();

}  // namespace velmora::extensions::dravik::base64
