#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Base64Stream.h"
#include "Commands.h"
#include "Interrupt.h"

namespace dravik_app {
namespace {

// Read at most this many bytes at a time.
constexpr std::size_t kBlock = 3 * 21 * 1024;

// Closes files it opened; standard input stays open.
struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != stdin) std::fclose(file);
    }
};

// Standard input for "-", else the named file; in binary mode (standard
// input is, from the start).
std::unique_ptr<std::FILE, FileCloser> openInput(const std::string& name) {
    if (name == "-") return std::unique_ptr<std::FILE, FileCloser>(stdin);
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) throw UserError("cannot open " + name + ": " + std::strerror(errno));
    return std::unique_ptr<std::FILE, FileCloser>(file);
}

}  // namespace

int runBase64(CommandLine& line) {
    const long wrap = parseNumber(line.value("--wrap", "0"), "--wrap", 0, 1L << 30);
    const auto positional = line.finish();
    if (positional.empty() || positional.size() > 2 ||
        (positional[0] != "encode" && positional[0] != "decode")) {
        throw UsageError("base64 takes 'encode' or 'decode', then a FILE or none");
    }
    const bool encoding = positional[0] == "encode";
    if (!encoding && wrap != 0) throw UsageError("--wrap is for encode");
    auto input = openInput(positional.size() == 2 ? positional[1] : "-");

    // What has arrived is coded as it arrives, so a live stream flows through.
    // An interrupt ends the command where it is: what was coded has been
    // written, and the status tells that the output is cut short.
    catchInterrupts();
    std::unique_ptr<char[]> block(new char[kBlock]);
    if (encoding) {
        StreamEncoder encoder(static_cast<std::size_t>(wrap));
        while (const std::size_t got = readSome(input.get(), block.get(), kBlock)) {
            encoder.add(block.get(), got);
        }
        if (!interrupted()) encoder.finish();
    } else {
        StreamDecoder decoder;
        try {
            while (const std::size_t got = readSome(input.get(), block.get(), kBlock)) {
                decoder.add(block.get(), got);
            }
            if (!interrupted()) decoder.finish();
        } catch (const StreamDecoder::InvalidInput& invalid) {
            std::fprintf(stderr, "dravik base64: invalid input at byte %llu\n",
                         static_cast<unsigned long long>(invalid.offset));
            return 1;
        }
    }
    return interrupted() ? 128 + interruptSignal() : 0;
}

}  // namespace dravik_app
