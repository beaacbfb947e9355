// The lines of standard input, from blocks of what has arrived: the same on
// every platform, over each platform's readSome().
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Interrupt.h"

namespace dravik_app {
namespace {

// Input read but not yet returned as a line.
std::string pending;

}  // namespace

bool readLines(std::vector<std::string>& lines) {
    lines.clear();
    for (;;) {
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.emplace_back(pending, start, end - start);
        }
        pending.erase(0, start);
        if (!lines.empty()) return true;
        char block[65536];
        const std::size_t got = readSome(stdin, block, sizeof block);
        if (interrupted()) return false;
        if (got == 0) {
            if (pending.empty()) return false;
            lines.push_back(std::move(pending));
            pending.clear();
            return true;
        }
        pending.append(block, got);
    }
}

}  // namespace dravik_app
