#include "udp/ErrorLineBudget.h"

#include <algorithm>

bool ErrorLineBudget::admit(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count == kLinesPerSpan) {
        if (now - places[oldest] < kSpan) return false;
        places[oldest] = now;
        oldest = (oldest + 1) % kLinesPerSpan;
        return true;
    }
    places[(oldest + count++) % kLinesPerSpan] = now;
    return true;
}

// Where the span has moved on past the line's place, another line holds it.
void ErrorLineBudget::logged(Clock::time_point admitted, Clock::time_point done) {
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < count; ++i) {
        Clock::time_point& place = places[(oldest + i) % kLinesPerSpan];
        if (place == admitted) {
            place = std::max(place, done);
            return;
        }
    }
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
    return std::max(afterLastReport, places[oldest] + kSpan);
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

void ErrorLineBudget::reported(Clock::time_point done) {
    std::lock_guard<std::mutex> lock(mutex);
    lastReport = std::max(lastReport, done);
}
