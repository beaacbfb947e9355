#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base64/Codec.h"

namespace dravik_test {

using velmora::extensions::dravik::base64::Codec;

// Runs one of the library's internal codecs on exact-size heap copies of the
// input and output, so that AddressSanitizer sees any access past either.
std::string encodeWith(const Codec& codec, const std::string& bytes);
// The decoded bytes, or nothing when the codec refuses the text.
std::optional<std::vector<std::uint8_t>> decodeWith(const Codec& codec, const std::string& text);

// `size` bytes drawn from `random`.
std::string randomBytes(std::mt19937& random, std::size_t size);

// The codecs the path tests set against the scalar one; each test program
// that holds them says which.
std::vector<const Codec*> codecsUnderTest();

}  // namespace dravik_test
