#include "udp/ErrorLineBudget.h"

bool ErrorLineBudget::admit(Clock::time_point now, std::uint64_t& endedHeld) {
    endedHeld = 0;
    if (now >= end) {
        endedHeld = takeHeld();
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
