#pragma once

// A plain C++ model of the AVX-512 intrinsics the Base64 codec uses, with the
// semantics of Intel's intrinsics guide. Built in place of the compiler's
// header, it lets that codec run and be checked on processors without
// AVX-512. Masked-off bytes are neither read nor written.
#include <cstdint>
#include <cstring>

struct __m512i {
    std::uint8_t b[64];
};
using __mmask64 = std::uint64_t;

namespace avx512_model {

inline bool lane(__mmask64 k, int i) {
    return (k >> i) & 1;
}

inline std::uint64_t word64(const __m512i& v, int q) {
    std::uint64_t w;
    std::memcpy(&w, v.b + 8 * q, 8);
    return w;
}

inline __m512i fromWords32(std::uint32_t w) {
    __m512i v;
    for (int i = 0; i < 16; ++i) std::memcpy(v.b + 4 * i, &w, 4);
    return v;
}

}  // namespace avx512_model

inline __m512i _mm512_loadu_si512(const void* p) {
    __m512i v;
    std::memcpy(v.b, p, 64);
    return v;
}

inline __m512i _mm512_load_si512(const void* p) {
    return _mm512_loadu_si512(p);
}

inline void _mm512_storeu_si512(void* p, __m512i v) {
    std::memcpy(p, v.b, 64);
}

inline __m512i _mm512_maskz_loadu_epi8(__mmask64 k, const void* p) {
    __m512i v{};
    for (int i = 0; i < 64; ++i) {
        if (avx512_model::lane(k, i)) v.b[i] = static_cast<const std::uint8_t*>(p)[i];
    }
    return v;
}

inline void _mm512_mask_storeu_epi8(void* p, __mmask64 k, __m512i v) {
    for (int i = 0; i < 64; ++i) {
        if (avx512_model::lane(k, i)) static_cast<std::uint8_t*>(p)[i] = v.b[i];
    }
}

inline __m512i _mm512_set1_epi32(int w) {
    return avx512_model::fromWords32(static_cast<std::uint32_t>(w));
}

inline __m512i _mm512_set1_epi64(long long w) {
    __m512i v;
    for (int q = 0; q < 8; ++q) std::memcpy(v.b + 8 * q, &w, 8);
    return v;
}

inline __m512i _mm512_or_si512(__m512i a, __m512i b) {
    for (int i = 0; i < 64; ++i) a.b[i] |= b.b[i];
    return a;
}

inline __mmask64 _mm512_movepi8_mask(__m512i a) {
    __mmask64 k = 0;
    for (int i = 0; i < 64; ++i) k |= __mmask64(a.b[i] >> 7) << i;
    return k;
}

// dst[i] = a[idx[i] % 64]
inline __m512i _mm512_maskz_permutexvar_epi8(__mmask64 k, __m512i idx, __m512i a) {
    __m512i v{};
    for (int i = 0; i < 64; ++i) {
        if (avx512_model::lane(k, i)) v.b[i] = a.b[idx.b[i] & 63];
    }
    return v;
}

// dst[i] = (idx[i] & 64 ? b : a)[idx[i] % 64]
inline __m512i _mm512_permutex2var_epi8(__m512i a, __m512i idx, __m512i b) {
    __m512i v;
    for (int i = 0; i < 64; ++i) v.b[i] = (idx.b[i] & 64 ? b : a).b[idx.b[i] & 63];
    return v;
}

// Byte j of each 64-bit word: the 8 bits of b's word from bit ctrl[j] % 64
// on, wrapping around.
inline __m512i _mm512_maskz_multishift_epi64_epi8(__mmask64 k, __m512i ctrl, __m512i b) {
    __m512i v{};
    for (int i = 0; i < 64; ++i) {
        if (!avx512_model::lane(k, i)) continue;
        const std::uint64_t word = avx512_model::word64(b, i / 8);
        const unsigned shift = ctrl.b[i] & 63;
        const std::uint64_t rotated = shift == 0 ? word : word >> shift | word << (64 - shift);
        v.b[i] = static_cast<std::uint8_t>(rotated);
    }
    return v;
}

// Unsigned bytes of a times signed bytes of b, adjacent products summed into
// saturated 16-bit words.
inline __m512i _mm512_maddubs_epi16(__m512i a, __m512i b) {
    __m512i v;
    for (int i = 0; i < 32; ++i) {
        int sum = a.b[2 * i] * static_cast<std::int8_t>(b.b[2 * i]) +
                  a.b[2 * i + 1] * static_cast<std::int8_t>(b.b[2 * i + 1]);
        sum = sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum;
        const auto word = static_cast<std::int16_t>(sum);
        std::memcpy(v.b + 2 * i, &word, 2);
    }
    return v;
}

// Signed 16-bit words multiplied, adjacent products summed into 32-bit words.
inline __m512i _mm512_madd_epi16(__m512i a, __m512i b) {
    __m512i v;
    for (int i = 0; i < 16; ++i) {
        std::int16_t a0, a1, b0, b1;
        std::memcpy(&a0, a.b + 4 * i, 2);
        std::memcpy(&a1, a.b + 4 * i + 2, 2);
        std::memcpy(&b0, b.b + 4 * i, 2);
        std::memcpy(&b1, b.b + 4 * i + 2, 2);
        const auto sum = static_cast<std::uint32_t>(std::int64_t(a0) * b0 + std::int64_t(a1) * b1);
        std::memcpy(v.b + 4 * i, &sum, 4);
    }
    return v;
}
