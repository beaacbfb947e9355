#include <cstdio>
#include <iostream>
#include <iterator>
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

int runBase64(CommandLine& line) {
    const auto positional = line.finish();
    if (positional.size() != 1 || (positional[0] != "encode" && positional[0] != "decode")) {
        throw UsageError("base64 takes 'encode' or 'decode'");
    }
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());

    if (positional[0] == "encode") {
        const std::string text = Base64::encode(input) + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    // Text piped from echo or a file ends in a line break; the code itself may not.
    std::string text = input;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    try {
        const std::vector<std::uint8_t> bytes = Base64::decode(text);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        return 0;
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "dravik base64: %s\n", e.what());
        return 1;
    }
}

}  // namespace dravik_app
