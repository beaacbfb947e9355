// libFuzzer target for the Base64 codec. Every input is both decoded as text
// (it must decode or throw the one decode error, and whatever decodes must
// survive a re-encoding) and encoded as bytes (it must decode back unchanged).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <dravik/Base64.h>

using velmora::extensions::dravik::Base64;

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
    return 0;
}
