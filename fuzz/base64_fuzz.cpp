// libFuzzer target for the Base64 codec. Every input is both decoded as text
// (it must decode or throw the one decode error, and whatever decodes must
// survive a re-encoding) and encoded as bytes (it must decode back unchanged).
// Every codec this processor can run must agree with the scalar one on both,
// each on exact-size copies so AddressSanitizer sees any access past them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <dravik/Base64.h>

#include "support/CodecRuns.h"

using velmora::extensions::dravik::Base64;
namespace base64 = velmora::extensions::dravik::base64;
using dravik_test::decodeWith;
using dravik_test::encodeWith;

namespace {

// The input as bytes to encode, its first multiple of 4 characters as text to
// decode, and its encoding as text to decode.
void compareCodecs(const std::uint8_t* data, std::size_t size) {
    static const std::vector<const base64::Codec*> codecs = base64::availableCodecs();
    const base64::Codec& scalar = base64::scalarCodec();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string text = input.substr(0, size / 4 * 4);
    const std::string encoded = encodeWith(scalar, input);
    const auto decoded = decodeWith(scalar, text);
    const std::vector<std::uint8_t> bytes(data, data + size);
    for (const base64::Codec* codec : codecs) {
        if (encodeWith(*codec, input) != encoded) std::abort();
        if (decodeWith(*codec, text) != decoded) std::abort();
        if (decodeWith(*codec, encoded) != bytes) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    try {
        const std::vector<std::uint8_t> decoded = Base64::decode(input);
        if (decoded.size() > size / 4 * 3) std::abort();
        if (Base64::decode(Base64::encode(decoded)) != decoded) std::abort();
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), "Failed to decode Base64 string.") != 0) std::abort();
    }

    const std::string text = Base64::encode(input);
    const std::vector<std::uint8_t> back = Base64::decode(text);
    if (back != std::vector<std::uint8_t>(data, data + size)) std::abort();

    compareCodecs(data, size);
    return 0;
}
