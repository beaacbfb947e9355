// Windows: Ctrl-C arrives on a thread of its own; standard input is read
// line by line.
#include "Interrupt.h"

#include <csignal>
#include <iostream>

namespace dravik_app {
namespace {

volatile std::sig_atomic_t received = 0;

extern "C" void onInterrupt(int) {
    received = 1;
}

}  // namespace

void catchInterrupts() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

bool interrupted() {
    return received != 0;
}

bool readLine(std::string& line) {
    if (interrupted() || !std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace dravik_app
