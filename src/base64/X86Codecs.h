#pragma once

#include "base64/Codec.h"

// The codecs for x86-64 processors with the named instruction sets. Only the
// dispatch may hand them out, once it has seen that the processor and the
// operating system support them.
namespace velmora::extensions::dravik::base64 {

const Codec& avx2Codec();
// AVX-512 F, BW and VBMI.
const Codec& avx512VbmiCodec();

}  // namespace velmora::extensions::dravik::base64
