// Codecs set against the scalar one, result for result and refusal for refusal.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/CodecRuns.h"

namespace base64 = velmora::extensions::dravik::base64;
using dravik_test::decodeWith;
using dravik_test::encodeWith;
using dravik_test::randomBytes;

namespace {

class Base64PathTest : public ::testing::TestWithParam<const base64::Codec*> {
protected:
    const base64::Codec& codec = *GetParam();
    const base64::Codec& scalar = base64::scalarCodec();
};

TEST_P(Base64PathTest, AgreesWithTheScalarCodecOnEveryLength) {
    std::mt19937 random(300);
    for (std::size_t size = 0; size <= 300; ++size) {
        const std::string bytes = randomBytes(random, size);
        const std::string text = encodeWith(codec, bytes);
        ASSERT_EQ(text, encodeWith(scalar, bytes)) << "size " << size;
        ASSERT_EQ(decodeWith(codec, text), decodeWith(scalar, text)) << "size " << size;
    }
}

// Every byte value in every place of a text long enough for several blocks of
// each codec, the last quartet included: refused or decoded as the scalar
// codec does.
TEST_P(Base64PathTest, JudgesEveryCharacterInEveryPlaceAsTheScalarCodec) {
    std::mt19937 random(4648);
    const std::string text = encodeWith(scalar, randomBytes(random, 3 * 68));
    for (std::size_t place = 0; place < text.size(); ++place) {
        for (int value = 0; value < 256; ++value) {
            std::string changed = text;
            changed[place] = static_cast<char>(value);
            ASSERT_EQ(decodeWith(codec, changed), decodeWith(scalar, changed))
                << "byte " << value << " at " << place;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Available, Base64PathTest, ::testing::ValuesIn(dravik_test::codecsUnderTest()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
