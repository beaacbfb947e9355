#include <dravik/Base64.h>

#include <stdexcept>

#include "base64/Codec.h"
#include "base64/Tables.h"

namespace velmora::extensions::dravik {
namespace {

std::string encodeBytes(const unsigned char* in, std::size_t size) {
    std::string text(base64::encodedSize(size), '\0');
    base64::chosenCodec().encode(in, size, text.data());
    return text;
}

[[noreturn]] void refuse() {
    throw std::runtime_error("Failed to decode Base64 string.");
}

}  // namespace

std::string Base64::encode(const std::string& bytes) {
    return encodeBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Base64::encode(const std::vector<std::uint8_t>& bytes) {
    return encodeBytes(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> Base64::decode(const std::string& text) {
    const std::size_t size = text.size();
    if (size % 4 != 0) refuse();
    std::vector<std::uint8_t> bytes(size / 4 * 3);
    const std::size_t written = base64::chosenCodec().decode(
        reinterpret_cast<const unsigned char*>(text.data()), size, bytes.data());
    if (written == base64::kRefused) refuse();
    bytes.resize(written);
    return bytes;
}

}  // namespace velmora::extensions::dravik
