#include "Base64Stream.h"

#include <algorithm>

#include <dravik/Base64.h>

#include "Interrupt.h"

using velmora::extensions::dravik::Base64;

namespace dravik_app {
namespace {

bool inAlphabet(unsigned char c) {
    static const struct Table {
        bool member[256] = {};
        Table() {
            for (const char* p = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
                 *p; ++p) {
                member[static_cast<unsigned char>(*p)] = true;
            }
        }
    } table;
    return table.member[c];
}

}  // namespace

void StreamEncoder::add(const char* data, std::size_t size) {
    if (size == 0) return;
    any = true;
    // First the group the last piece left open, then whole groups.
    for (; !carry.empty() && carry.size() < 3 && size > 0; ++data, --size) carry += *data;
    if (carry.size() == 3) {
        emit(Base64::encode(carry));
        carry.clear();
    }
    const std::size_t whole = size - size % 3;
    if (whole != 0) emit(Base64::encode(std::string(data, whole)));
    carry.append(data + whole, size - whole);
}

void StreamEncoder::emit(const std::string& text) {
    if (wrap == 0) {
        writeOut(text.data(), text.size());
        return;
    }
    std::string lines;
    lines.reserve(text.size() + text.size() / wrap + 1);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t take = std::min(wrap - column, text.size() - at);
        lines.append(text, at, take);
        at += take;
        column += take;
        if (column == wrap) {
            lines += '\n';
            column = 0;
        }
    }
    writeOut(lines.data(), lines.size());
}

void StreamEncoder::finish() {
    if (!carry.empty()) emit(Base64::encode(carry));
    carry.clear();
    if (any && (wrap == 0 || column != 0)) writeOut("\n", 1);
}

void StreamDecoder::add(const char* data, std::size_t size) {
    const std::uint64_t start = offset;
    for (std::size_t i = 0; i < size;) {
        offset = start + i;
        const auto c = static_cast<unsigned char>(data[i]);
        if (afterCr && c != '\n') refuse(crOffset);
        afterCr = false;
        if (padding == 0 && inAlphabet(c)) {
            // A run of Base64 characters, taken whole.
            std::size_t end = i + 1;
            while (end < size && inAlphabet(static_cast<unsigned char>(data[end]))) ++end;
            text.append(data + i, end - i);
            quartet = static_cast<int>((quartet + (end - i)) % 4);
            i = end;
            continue;
        }
        ++i;
        if (c == '\n') continue;
        if (c == '\r') {
            afterCr = true;
            crOffset = offset;
            continue;
        }
        // After the padding that ends the text, nothing but line breaks; "="
        // is the third or fourth of a quartet, and a third needs a fourth.
        if (c != '=' || (padding > 0 && quartet == 0) || quartet < 2) refuse(offset);
        ++padding;
        text += '=';
        quartet = (quartet + 1) % 4;
    }
    offset = start + size;
    flush();
}

void StreamDecoder::finish() {
    if (afterCr) refuse(crOffset);
    if (quartet != 0) refuse(offset);
    flush();
}

// What was decoded before the fault is written first.
void StreamDecoder::refuse(std::uint64_t at) {
    flush();
    throw InvalidInput{at};
}

// Decodes the whole quartets gathered so far.
void StreamDecoder::flush() {
    const std::size_t whole = text.size() - text.size() % 4;
    if (whole == 0) return;
    const std::vector<std::uint8_t> bytes = Base64::decode(text.substr(0, whole));
    writeOut(bytes.data(), bytes.size());
    text.erase(0, whole);
}

}  // namespace dravik_app
