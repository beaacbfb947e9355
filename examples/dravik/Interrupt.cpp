#include "Interrupt.h"

#include <csignal>

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

}  // namespace dravik_app
