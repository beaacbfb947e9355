#include "support/CodecRuns.h"

#include "base64/Tables.h"

namespace dravik_test {

namespace base64 = velmora::extensions::dravik::base64;

std::string encodeWith(const Codec& codec, const std::string& bytes) {
    const std::vector<unsigned char> in(bytes.begin(), bytes.end());
    std::vector<char> out(base64::encodedSize(in.size()));
    codec.encode(in.data(), in.size(), out.data());
    return {out.begin(), out.end()};
}

std::optional<std::vector<std::uint8_t>> decodeWith(const Codec& codec, const std::string& text) {
    const std::vector<unsigned char> in(text.begin(), text.end());
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    const std::size_t written = codec.decode(in.data(), in.size(), out.data());
    if (written == base64::kRefused) return std::nullopt;
    out.resize(written);
    return out;
}

std::string randomBytes(std::mt19937& random, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(random));
    return bytes;
}

}  // namespace dravik_test
