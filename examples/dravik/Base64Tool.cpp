#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <dravik/Base64.h>

#include "Commands.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using velmora::extensions::dravik::Base64;

namespace dravik_app {
namespace {

// All of `in`; throws StreamError if reading fails.
std::string readAll(std::FILE* in) {
    std::string all;
    char block[65536];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0) all.append(block, got);
    if (std::ferror(in)) throw StreamError("read error", errno ? errno : EIO);
    return all;
}

}  // namespace

int runBase64(CommandLine& line) {
    const auto positional = line.finish();
    if (positional.size() != 1 || (positional[0] != "encode" && positional[0] != "decode")) {
        throw UsageError("base64 takes 'encode' or 'decode'");
    }
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string input = readAll(stdin);

    if (positional[0] == "encode") {
        const std::string text = Base64::encode(input) + "\n";
        writeOut(stdout, text.data(), text.size());
        return 0;
    }
    // Text piped from echo or a file ends in a line break; the code itself may not.
    std::string text = input;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    try {
        const std::vector<std::uint8_t> bytes = Base64::decode(text);
        writeOut(stdout, bytes.data(), bytes.size());
        return 0;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "dravik base64: %s\n", e.what());
        return 1;
    }
}

}  // namespace dravik_app
