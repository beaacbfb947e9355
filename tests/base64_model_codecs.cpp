// The path tests' codec in the program built against the instruction model:
// the AVX-512 one, whatever this processor has.
#include "base64/X86Codecs.h"
#include "support/CodecRuns.h"

std::vector<const dravik_test::Codec*> dravik_test::codecsUnderTest() {
    return {&velmora::extensions::dravik::base64::avx512VbmiCodec()};
}
