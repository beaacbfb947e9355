// The codec on 512-bit registers with byte permutes (AVX-512 VBMI): 48 bytes
// to 64 characters and back per step, and the last whole groups in one masked
// step. Only this file's functions use AVX-512, each marked for it, so the
// rest of the library runs on any x86-64 processor.
#include <immintrin.h>

#include "base64/Codec.h"
#include "base64/Tables.h"
#include "base64/X86Codecs.h"

// The tests also build this file against a plain model of the instructions,
// for processors without them; they define the marking away.
#ifndef DRAVIK_AVX512_VBMI
#define DRAVIK_AVX512_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

namespace velmora::extensions::dravik::base64 {
namespace {

struct Table {
    alignas(64) unsigned char at[64];
};

// For encoding: the bytes of group k in word k, as b1 b0 b2 b1.
constexpr Table groupSpread() {
    Table table{};
    constexpr unsigned char order[4] = {1, 0, 2, 1};
    for (int j = 0; j < 64; ++j) table.at[j] = static_cast<unsigned char>(j / 4 * 3 + order[j % 4]);
    return table;
}

// For decoding: the 6-bit value of each character below 128 (first half 0..63,
// second half 64..127), or 0x80 outside the alphabet.
constexpr Table valuesOf(int half) {
    Table table{};
    for (auto& value : table.at) value = 0x80;
    for (int digit = 0; digit < 64; ++digit) {
        const int c = static_cast<unsigned char>(kAlphabet[digit]) - 64 * half;
        if (c >= 0 && c < 64) table.at[c] = static_cast<unsigned char>(digit);
    }
    return table;
}

// For decoding: the three bytes of each group, whose 24-bit value sits in a
// little-endian word, in order at the start of the register.
constexpr Table groupPack() {
    Table table{};
    for (int j = 0; j < 48; ++j) table.at[j] = static_cast<unsigned char>(j / 3 * 4 + 2 - j % 3);
    return table;
}

constexpr Table kGroupSpread = groupSpread();
constexpr Table kValuesLow = valuesOf(0);
constexpr Table kValuesHigh = valuesOf(1);
constexpr Table kGroupPack = groupPack();

// The lowest n bits set, for n up to 64.
constexpr __mmask64 lanes(std::size_t n) {
    return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1;
}

DRAVIK_AVX512_VBMI __m512i load(const Table& table) {
    return _mm512_load_si512(table.at);
}

// The byte permute and multishift with every lane kept. (The unmasked
// intrinsics start from an undefined register, which g++ 12 warns about.)
DRAVIK_AVX512_VBMI __m512i permuteBytes(__m512i indices, __m512i table) {
    return _mm512_maskz_permutexvar_epi8(lanes(64), indices, table);
}

DRAVIK_AVX512_VBMI __m512i multishift(__m512i shifts, __m512i words) {
    return _mm512_maskz_multishift_epi64_epi8(lanes(64), shifts, words);
}

// The characters of the groups in the first 48 bytes of `in`.
DRAVIK_AVX512_VBMI __m512i encodeBlock(__m512i in, __m512i spread, __m512i alphabet) {
    const __m512i groups = permuteBytes(spread, in);
    // Each output byte takes the 8 bits at its field's offset within the
    // group's word; the alphabet lookup uses the low six.
    const __m512i values = multishift(_mm512_set1_epi64(0x3036242a1016040a), groups);
    return permuteBytes(values, alphabet);
}

DRAVIK_AVX512_VBMI void encodeAvx512Vbmi(const unsigned char* in, std::size_t size, char* out) {
    const __m512i spread = load(kGroupSpread);
    const __m512i alphabet = _mm512_loadu_si512(kAlphabet);
    std::size_t i = 0;
    // Steps of 16 groups, from full loads while the input allows them.
    for (; i + 64 <= size; i += 48, out += 64) {
        const __m512i block = _mm512_loadu_si512(in + i);
        _mm512_storeu_si512(out, encodeBlock(block, spread, alphabet));
    }
    // Then steps of up to 16 groups from masked loads.
    for (std::size_t groups; (groups = (size - i) / 3) > 0; i += groups * 3, out += groups * 4) {
        if (groups > 16) groups = 16;
        const __m512i block = _mm512_maskz_loadu_epi8(lanes(groups * 3), in + i);
        _mm512_mask_storeu_epi8(out, lanes(groups * 4), encodeBlock(block, spread, alphabet));
    }
    encodeScalar(in + i, size - i, out);
}

// Decodes `quartets` (at most 16) quartets at `in` to `out`; false when a
// character is outside the alphabet.
DRAVIK_AVX512_VBMI bool decodeBlock(const unsigned char* in, std::size_t quartets, unsigned char* out,
                                    __m512i valuesLow, __m512i valuesHigh, __m512i pack) {
    const __mmask64 mask = lanes(quartets * 4);
    const __m512i chars = _mm512_maskz_loadu_epi8(mask, in);
    const __m512i values = _mm512_permutex2var_epi8(valuesLow, chars, valuesHigh);
    // A high bit in the value (outside the alphabet) or the character (not ASCII).
    if (_mm512_movepi8_mask(_mm512_or_si512(values, chars)) & mask) return false;
    const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
    const __m512i groups = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
    _mm512_mask_storeu_epi8(out, lanes(quartets * 3), permuteBytes(pack, groups));
    return true;
}

DRAVIK_AVX512_VBMI std::size_t decodeAvx512Vbmi(const unsigned char* in, std::size_t size,
                                                unsigned char* out) {
    const __m512i valuesLow = load(kValuesLow);
    const __m512i valuesHigh = load(kValuesHigh);
    const __m512i pack = load(kGroupPack);
    // The last quartet, which may hold "=", is left to the scalar codec.
    const std::size_t body = size < 4 ? 0 : size - 4;
    std::size_t i = 0;
    std::size_t written = 0;
    for (; i + 64 <= body; i += 64, written += 48) {
        if (!decodeBlock(in + i, 16, out + written, valuesLow, valuesHigh, pack)) return kRefused;
    }
    if (i < body) {
        const std::size_t quartets = (body - i) / 4;
        if (!decodeBlock(in + i, quartets, out + written, valuesLow, valuesHigh, pack)) return kRefused;
        written += quartets * 3;
        i = body;
    }
    const std::size_t rest = decodeScalar(in + i, size - i, out + written);
    return rest == kRefused ? kRefused : written + rest;
}

}  // namespace

const Codec& avx512VbmiCodec() {
    static constexpr Codec codec{"avx512vbmi", encodeAvx512Vbmi, decodeAvx512Vbmi};
    return codec;
}

}  // namespace velmora::extensions::dravik::base64
