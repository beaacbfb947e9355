#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The Base64 codec over raw buffers, in one implementation per instruction
// set. Internal to the library: the public class uses the chosen one, and the
// tests, the fuzzer and the benchmarks reach every one through this header.
namespace velmora::extensions::dravik::base64 {

// Returned by a decode that refuses its text.
inline constexpr std::size_t kRefused = SIZE_MAX;

struct Codec {
    // "scalar", "avx2" or "avx512vbmi".
    const char* name;

    // Writes the encodedSize(size) characters of the `size` bytes at `in`,
    // padding included, to `out`. Reads and writes nothing outside them.
    void (*encode)(const unsigned char* in, std::size_t size, char* out);

    // Decodes the `size` characters at `in` (a multiple of 4) into `out`,
    // which has room for size / 4 * 3 bytes. Returns the number of bytes
    // written, or kRefused when a character is outside the alphabet or an
    // "=" is anywhere but the last two places; `out` then holds anything.
    std::size_t (*decode)(const unsigned char* in, std::size_t size, unsigned char* out);
};

// The portable codec; the others hand it what is left after their blocks.
void encodeScalar(const unsigned char* in, std::size_t size, char* out);
std::size_t decodeScalar(const unsigned char* in, std::size_t size, unsigned char* out);
const Codec& scalarCodec();

// Every codec this processor and operating system can run, the scalar one
// first and the fastest last.
std::vector<const Codec*> availableCodecs();

// The fastest available codec, chosen on the first call.
const Codec& chosenCodec();

}  // namespace velmora::extensions::dravik::base64
