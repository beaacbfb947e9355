#include "udp/ErrorLineBudget.h"

#include <algorithm>

bool ErrorLineBudget::admit(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count == kLinesPerSpan) {
        if (now - logged[oldest] < kSpan) return false;
        logged[oldest] = now;
        oldest = (oldest + 1) % kLinesPerSpan;
        return true;
    }
    logged[(oldest + count++) % kLinesPerSpan] = now;
    return true;
}

// The count is added before the flag is read, and takeHeld() clears the flag
// before it takes the count, so a line is either in the report being made or
// schedules the next one.
bool ErrorLineBudget::holdBack() {
    held.fetch_add(1);
    return defer();
}

bool ErrorLineBudget::defer() {
    return !reportDue.load() && !reportDue.exchange(true);
}

ErrorLineBudget::Clock::time_point ErrorLineBudget::reportTime() const {
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point afterLastReport =
        lastReport == Clock::time_point::min() ? lastReport : lastReport + kSpan;
    if (count < kLinesPerSpan) return afterLastReport;
    return std::max(afterLastReport, logged[oldest] + kSpan);
}

std::uint64_t ErrorLineBudget::takeHeld(Clock::time_point now) {
    reportDue.store(false);
    const std::uint64_t taken = held.exchange(0);
    if (taken != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        lastReport = now;
    }
    return taken;
}
