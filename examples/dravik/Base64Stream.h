#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik_app {

// Encodes a stream to standard output as it arrives, in pieces of any size:
// Base64 text in lines of `wrap` characters (0: one line), the same text
// however the input was cut, ending in a line break unless the input was
// empty. The last one or two bytes of a piece wait for the next piece, or
// for finish(), which pads them.
class StreamEncoder {
public:
    explicit StreamEncoder(std::size_t wrap) : wrap(wrap) {}
    void add(const char* data, std::size_t size);
    void finish();

private:
    void emit(const std::string& text);
    const std::size_t wrap;
    std::size_t column = 0;
    std::string carry;  // bytes short of a whole group of three
    bool any = false;
};

// Decodes a stream block by block to standard output. Line breaks (LF, CRLF)
// may stand anywhere and are skipped; anything else that is not Base64 throws
// InvalidInput with its offset in the input, once every whole quartet before
// it has been written.
class StreamDecoder {
public:
    struct InvalidInput {
        std::uint64_t offset;  // bytes of input before the fault
    };

    void add(const char* data, std::size_t size);
    void finish();

private:
    void flush();
    [[noreturn]] void refuse(std::uint64_t at);
    std::string text;             // Base64 characters not yet decoded
    std::uint64_t offset = 0;     // input bytes seen so far
    std::uint64_t crOffset = 0;   // where a carriage return waits for its LF
    bool afterCr = false;
    int quartet = 0;              // characters into the current quartet
    int padding = 0;              // "=" seen; only line breaks may follow the last
};

}  // namespace dravik_app
