// Lists the codecs this x86-64 processor can run, from what it offers and
// what the operating system saves across context switches.
#include <cpuid.h>

#include <cstdint>

#include "base64/Codec.h"
#include "base64/X86Codecs.h"

namespace velmora::extensions::dravik::base64 {
namespace {

struct Features {
    bool avx2 = false;
    bool avx512Vbmi = false;
};

// XCR0: the register state the operating system has enabled.
std::uint64_t enabledRegisterState() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return std::uint64_t(high) << 32 | low;
}

Features detect() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    Features features;
    // Without OSXSAVE, xgetbv does not exist and no wide register is saved.
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return features;
    const std::uint64_t state = enabledRegisterState();
    const bool ymm = (state & 0x06) == 0x06;  // SSE and AVX state
    const bool zmm = (state & 0xe6) == 0xe6;  // and the opmask and upper ZMM state
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return features;
    features.avx2 = ymm && (b & bit_AVX2);
    features.avx512Vbmi = zmm && (b & bit_AVX512F) && (b & bit_AVX512BW) && (c & bit_AVX512VBMI);
    return features;
}

}  // namespace

std::vector<const Codec*> availableCodecs() {
    const Features features = detect();
    std::vector<const Codec*> codecs{&scalarCodec()};
    if (features.avx2) codecs.push_back(&avx2Codec());
    if (features.avx512Vbmi) codecs.push_back(&avx512VbmiCodec());
    return codecs;
}

}  // namespace velmora::extensions::dravik::base64
