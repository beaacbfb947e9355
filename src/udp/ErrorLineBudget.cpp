#include "udp/ErrorLineBudget.h"

bool ErrorLineBudget::admit(Clock::time_point now) {
    if (now >= end) {
        end = now + kWindow;
        logged = 0;
    }
    if (logged < kLinesPerWindow) {
        ++logged;
        return true;
    }
    ++heldBack;
    return false;
}

std::uint64_t ErrorLineBudget::takeHeld() {
    const std::uint64_t taken = heldBack;
    heldBack = 0;
    return taken;
}
