#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <dravik/Base64.h>

#include "support/CodecRuns.h"

using velmora::extensions::dravik::Base64;
namespace base64 = velmora::extensions::dravik::base64;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

struct Vector {
    std::string bytes;
    std::string text;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << '"' << v.text << '"'; }

class Base64VectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64VectorTest, EncodesAndDecodesBothWays) {
    const Vector& v = GetParam();
    EXPECT_EQ(Base64::encode(v.bytes), v.text);
    EXPECT_EQ(Base64::encode(bytesOf(v.bytes)), v.text);
    EXPECT_EQ(Base64::decode(v.text), bytesOf(v.bytes));
    for (const base64::Codec* codec : base64::availableCodecs()) {
        EXPECT_EQ(dravik_test::encodeWith(*codec, v.bytes), v.text) << codec->name;
        EXPECT_EQ(dravik_test::decodeWith(*codec, v.text), bytesOf(v.bytes)) << codec->name;
    }
}

// RFC 4648, section 10, then bytes the alphabet's last characters and zero bytes need.
INSTANTIATE_TEST_SUITE_P(
    Rfc4648AndMore, Base64VectorTest,
    ::testing::Values(Vector{"", ""}, Vector{"f", "Zg=="}, Vector{"fo", "Zm8="},
                      Vector{"foo", "Zm9v"}, Vector{"foob", "Zm9vYg=="},
                      Vector{"fooba", "Zm9vYmE="}, Vector{"foobar", "Zm9vYmFy"},
                      Vector{"\xfb\xff\xbf", "+/+/"}, Vector{std::string(3, '\0'), "AAAA"},
                      Vector{std::string("a\0b\0", 4), "YQBiAA=="}));

// Each text breaks one of the decoder's rules.
class Base64RejectTest : public ::testing::TestWithParam<std::string> {};

TEST_P(Base64RejectTest, ThrowsTheDecodeError) {
    try {
        Base64::decode(GetParam());
        FAIL() << "decoded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to decode Base64 string.");
    }
    if (GetParam().size() % 4 != 0) return;  // refused before any codec runs
    for (const base64::Codec* codec : base64::availableCodecs()) {
        EXPECT_EQ(dravik_test::decodeWith(*codec, GetParam()), std::nullopt) << codec->name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    WrongLength, Base64RejectTest,
    ::testing::Values("Z", "Zg", "Zg=", "Zm9vY", "Zm9vYg", "Zm9vYg="));
INSTANTIATE_TEST_SUITE_P(
    MisplacedPadding, Base64RejectTest,
    ::testing::Values("=AAA", "A=AA", "====", "A===", "AA=A", "Zg==Zg==", "Zg==AAAA", "Zm8=AAAA",
                      "AA==AA==", "=Zm9vYmFy"));
INSTANTIATE_TEST_SUITE_P(
    OutsideTheAlphabet, Base64RejectTest,
    ::testing::Values("Zm9v\nYmFy", "Zm9v YmFy", "Zm9vYmF\r", "Zm9v\tYmE", "-_AA", "AB.C",
                      std::string("Zm9v\0AAA", 8), std::string("Zg=\0", 4), "Zm9v\x80YmE",
                      "\xff\xff\xff\xff", "Zm9vYmFy\n"));

// Padded-away bits are dropped without a test.
TEST(Base64LeftoverBitsTest, NonZeroBitsUnderPaddingStillDecode) {
    EXPECT_EQ(Base64::decode("Zh=="), bytesOf("f"));
    EXPECT_EQ(Base64::decode("Zm9="), bytesOf("fo"));
    EXPECT_EQ(Base64::decode("//=="), bytesOf("\xff"));
}

TEST(Base64RoundTripTest, DecodingAnEncodingGivesTheBytesBack) {
    std::mt19937 random(2026);
    for (std::size_t size = 0; size < 300; ++size) {
        const std::string bytes = dravik_test::randomBytes(random, size);
        const std::string text = Base64::encode(bytes);
        ASSERT_EQ(text.size(), (size + 2) / 3 * 4);
        ASSERT_EQ(Base64::decode(text), bytesOf(bytes)) << "size " << size;
    }
}

// Against coreutils' base64, which this project did not write.
TEST(Base64ReferenceTest, AgreesWithCoreutilsBothWays) {
#ifdef _WIN32
    GTEST_SKIP() << "runs coreutils' base64, which a Windows process cannot start";
#else
    if (std::system("base64 --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "coreutils' base64 is not installed";
    }
    std::mt19937 random(4648);
    // Named after the process: the suite also runs under an emulator beside itself.
    const std::string path =
        ::testing::TempDir() + "dravik_base64_reference_" + std::to_string(getpid()) + ".bin";
    for (std::size_t size : {1u, 2u, 3u, 57u, 1000u, 4096u, 65537u}) {
        const std::string bytes = dravik_test::randomBytes(random, size);
        std::ofstream(path, std::ios::binary) << bytes;

        std::string reference;
        FILE* pipe = popen(("base64 -w0 " + path).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            reference.append(chunk, n);
        }
        ASSERT_EQ(pclose(pipe), 0);

        EXPECT_EQ(Base64::encode(bytes), reference) << "size " << size;
        EXPECT_EQ(Base64::decode(reference), bytesOf(bytes)) << "size " << size;
    }
    std::remove(path.c_str());
#endif
}

}  // namespace
