// The codec on 256-bit registers: 24 bytes to 32 characters and back per
// step. Only this file's functions use AVX2, each marked for it, so the rest
// of the library runs on any x86-64 processor.
#include <immintrin.h>

#include "base64/Codec.h"
#include "base64/X86Codecs.h"

#define DRAVIK_AVX2 __attribute__((target("avx2")))

namespace velmora::extensions::dravik::base64 {
namespace {

// Encoding, one step: the 24 input bytes sit at offsets 4..15 of the low lane
// and 0..11 of the high lane. Returns the 32 characters.
DRAVIK_AVX2 __m256i encodeBlock(__m256i in) {
    // Each 32-bit word gets the bytes of one group as b1 b0 b2 b1, so that
    // the four 6-bit fields can be moved into place by multiplications.
    const __m256i groups = _mm256_shuffle_epi8(
        in, _mm256_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,  //
                             1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
    const __m256i fields03 = _mm256_mulhi_epu16(_mm256_and_si256(groups, _mm256_set1_epi32(0x0fc0fc00)),
                                                _mm256_set1_epi32(0x04000040));
    const __m256i fields12 = _mm256_mullo_epi16(_mm256_and_si256(groups, _mm256_set1_epi32(0x003f03f0)),
                                                _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(fields03, fields12);

    // Each value picks the offset of its alphabet range: 0..51 count as 0,
    // 52..63 as 1..12, and all above 25 one more, so the ranges land on
    // 0 ('A'), 1 ('a' - 26), 2..11 ('0' - 52), 12 ('+' - 62) and 13 ('/' - 63).
    const __m256i aboveUpper = _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25));
    const __m256i range = _mm256_sub_epi8(_mm256_subs_epu8(values, _mm256_set1_epi8(51)), aboveUpper);
    const __m256i offsets = _mm256_setr_epi8(
        'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0,  //
        'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0);
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
}

DRAVIK_AVX2 __m256i encodeMiddleStep(const unsigned char* in) {
    return encodeBlock(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in - 4)));
}

DRAVIK_AVX2 void store(char* out, __m256i chars) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
}

DRAVIK_AVX2 void encodeAvx2(const unsigned char* in, std::size_t size, char* out) {
    const std::size_t whole = size / 3 * 3;  // the bytes of whole groups
    if (whole < 32) return encodeScalar(in, size, out);

    // The first step may not read before the input: its low lane is loaded
    // at the start and moved up by four bytes.
    const __m128i low = _mm_slli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), 4);
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
    store(out, encodeBlock(_mm256_set_m128i(high, low)));
    std::size_t i = 24;
    // Middle steps read 32 bytes from 4 before the step's first byte, two
    // at a time while they fit.
    for (; i + 52 <= size; i += 48) {
        const __m256i first = encodeMiddleStep(in + i);
        const __m256i second = encodeMiddleStep(in + i + 24);
        store(out + i / 3 * 4, first);
        store(out + i / 3 * 4 + 32, second);
    }
    if (i + 28 <= size) {
        store(out + i / 3 * 4, encodeMiddleStep(in + i));
        i += 24;
    }
    // The last whole groups: steps that read the 32 bytes ending with their
    // 24, the last step moved back over its predecessor's groups as far as
    // needed (they are written again, the same).
    const __m256i toLayout = _mm256_setr_epi32(0, 2, 3, 4, 5, 6, 7, 7);
    while (i < whole) {
        const std::size_t start = i + 24 <= whole ? i : whole - 24;
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + start - 8));
        store(out + start / 3 * 4, encodeBlock(_mm256_permutevar8x32_epi32(block, toLayout)));
        i = start + 24;
    }
    encodeScalar(in + whole, size - whole, out + whole / 3 * 4);
}

// Decoding, one step: 32 characters to their 6-bit values. Bits are set in
// `invalid` for a character outside the alphabet ("=" included).
DRAVIK_AVX2 __m256i translate(__m256i chars, __m256i& invalid) {
    // A character is valid when the classes of its low and high nibble have
    // no bit in common.
    const __m256i nibble = _mm256_set1_epi8(0x2f);  // bit 5 is ignored by the lookups
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
    const __m256i low = _mm256_and_si256(chars, nibble);
    const __m256i lowClasses = _mm256_setr_epi8(
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a,  //
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a);
    const __m256i highClasses = _mm256_setr_epi8(
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,  //
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    invalid = _mm256_or_si256(invalid, _mm256_and_si256(_mm256_shuffle_epi8(lowClasses, low),
                                                        _mm256_shuffle_epi8(highClasses, high)));

    // The offset to the 6-bit value follows from the high nibble, with "/"
    // moved to a slot of its own.
    const __m256i slash = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'));
    const __m256i offsets = _mm256_setr_epi8(
        0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
        0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    return _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(slash, high)));
}

// Packs the 6-bit values of 32 characters into 24 bytes, at the start of the
// register.
DRAVIK_AVX2 __m256i packValues(__m256i values) {
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_shuffle_epi8(
        groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

// 32 characters at `in` to their 24 bytes, at the start of the register.
DRAVIK_AVX2 __m256i decodeStep(const unsigned char* in, __m256i& invalid) {
    return packValues(translate(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), invalid));
}

DRAVIK_AVX2 std::size_t decodeAvx2(const unsigned char* in, std::size_t size, unsigned char* out) {
    // The last quartet, which may hold "=", is left to the scalar codec.
    const std::size_t body = size < 4 ? 0 : size - 4;
    if (body < 32) return decodeScalar(in, size, out);
    const std::size_t room = size / 4 * 3;

    // Validity is checked once at the end: what a refused text wrote to
    // `out` does not matter.
    __m256i invalid = _mm256_setzero_si256();
    std::size_t i = 0;
    // Two steps at a time while both may store 32 bytes.
    for (; i + 64 <= body && i / 4 * 3 + 56 <= room; i += 64) {
        const __m256i first = decodeStep(in + i, invalid);
        const __m256i second = decodeStep(in + i + 32, invalid);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i / 4 * 3), first);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i / 4 * 3 + 24), second);
    }
    // Then one step at a time, storing 24 bytes, the last step moved back
    // over its predecessor as far as needed (those bytes are written again,
    // the same).
    while (i < body) {
        const std::size_t start = i + 32 <= body ? i : body - 32;
        const __m256i bytes = decodeStep(in + start, invalid);
        unsigned char* const to = out + start / 4 * 3;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 16), _mm256_extracti128_si256(bytes, 1));
        i = start + 32;
    }
    if (!_mm256_testz_si256(invalid, invalid)) return kRefused;
    const std::size_t last = decodeScalar(in + body, 4, out + body / 4 * 3);
    return last == kRefused ? kRefused : body / 4 * 3 + last;
}

}  // namespace

const Codec& avx2Codec() {
    static constexpr Codec codec{"avx2", encodeAvx2, decodeAvx2};
    return codec;
}

}  // namespace velmora::extensions::dravik::base64
