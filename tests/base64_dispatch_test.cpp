// Which codec the library runs on this processor; the path tests here cover
// every codec it can run.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/CodecRuns.h"

namespace base64 = velmora::extensions::dravik::base64;

std::vector<const base64::Codec*> dravik_test::codecsUnderTest() {
    return base64::availableCodecs();
}

namespace {

// The fastest codec the processor offers, as the compiler's own detection
// sees it; the test command pins it for emulated processors through
// DRAVIK_EXPECTED_BASE64_PATH.
std::string expectedPath() {
    if (const char* pinned = std::getenv("DRAVIK_EXPECTED_BASE64_PATH")) return pinned;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw")) return "avx512vbmi";
    if (__builtin_cpu_supports("avx2")) return "avx2";
#endif
    return "scalar";
}

TEST(Base64DispatchTest, ChoosesTheFastestPathTheProcessorRuns) {
    const std::string chosen = base64::chosenCodec().name;
    std::printf("Base64 path chosen: %s\n", chosen.c_str());
    EXPECT_EQ(chosen, expectedPath());
    EXPECT_EQ(chosen, base64::availableCodecs().back()->name);
}

}  // namespace
