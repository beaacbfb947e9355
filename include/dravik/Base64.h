#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <dravik/export.h>

namespace velmora::extensions::dravik {

// Base64 as in RFC 4648, section 4: the standard alphabet, "=" padding, no
// line breaks. Stateless; safe from any thread.
class DRAVIK_EXPORT Base64 {
public:
    Base64() = delete;

    // The Base64 text of the argument's bytes (zero bytes included); empty
    // for an empty argument.
    static std::string encode(const std::string& bytes);
    static std::string encode(const std::vector<std::uint8_t>& bytes);

    // The bytes that `text` encodes. Strict: the length must be a multiple of
    // 4, every character must be in the alphabet, and "=" may appear only as
    // the last one or two characters of the text. Padded-away bits are not
    // checked. Throws std::runtime_error("Failed to decode Base64 string.")
    // otherwise; nothing partial is returned.
    static std::vector<std::uint8_t> decode(const std::string& text);
};

}  // namespace velmora::extensions::dravik
