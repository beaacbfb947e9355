#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dravik_app {

// Encodes a stream block by block: Base64 text in lines of `wrap` characters
// (0: one line), ending in a line break unless the input was empty.
class StreamEncoder {
public:
    StreamEncoder(std::FILE* out, std::size_t wrap) : out(out), wrap(wrap) {}
    // `size` is a multiple of 3 except in the last call.
    void add(const char* data, std::size_t size);
    void finish();

private:
    void emit(const std::string& text);
    std::FILE* const out;
    const std::size_t wrap;
    std::size_t column = 0;
    bool any = false;
};

// Decodes a stream block by block. Line breaks (LF, CRLF) may stand anywhere
// and are skipped; anything else that is not Base64 throws InvalidInput with
// its offset in the input.
class StreamDecoder {
public:
    struct InvalidInput {
        std::uint64_t offset;  // bytes of input before the fault
    };

    explicit StreamDecoder(std::FILE* out) : out(out) {}
    void add(const char* data, std::size_t size);
    void finish();

private:
    void flush();
    std::FILE* const out;
    std::string text;             // Base64 characters not yet decoded
    std::uint64_t offset = 0;     // input bytes seen so far
    std::uint64_t crOffset = 0;   // where a carriage return waits for its LF
    bool afterCr = false;
    int quartet = 0;              // characters into the current quartet
    int padding = 0;              // "=" seen; only line breaks may follow the last
};

}  // namespace dravik_app
