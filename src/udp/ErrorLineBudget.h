#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

// Keeps the error lines that network input or overload trigger (receive
// errors, foreign senders, empty datagrams, system drops, a full send queue)
// from driving the log without bound: at most kLinesPerSpan of them in any
// span of kSpan, the rest only counted. Once a line has been held back, every
// line is held, without asking the time, until the count is reported, which
// happens once the span allows a line again and at most once per kSpan.
// Any thread.
class ErrorLineBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kLinesPerSpan = 10;
    static constexpr Clock::duration kSpan = std::chrono::seconds(1);

    // Whether a line may be logged at `now`; if so, it is counted as logged.
    // Check holding() first.
    bool admit(Clock::time_point now);
    // Whether a line may be logged now: nothing is held, and the span has
    // room. While lines are held, the clock is not read.
    bool admitNow() { return !holding() && admit(Clock::now()); }

    // Whether lines are held until the next report.
    bool holding() const { return reportDue.load(); }
    // Counts a held-back line; true when the caller has to schedule the report.
    bool holdBack();
    // Asks for a report without counting a line (for a figure that waits to
    // be logged); true when the caller has to schedule it.
    bool defer();

    // When the report may be made.
    Clock::time_point reportTime() const;
    // Ends the hold, returning the count of held-back lines (reset to 0).
    std::uint64_t takeHeld(Clock::time_point now);

private:
    mutable std::mutex mutex;  // held only to read or update the times
    std::array<Clock::time_point, kLinesPerSpan> logged{};  // ring, oldest at `oldest`
    std::size_t oldest = 0;
    std::size_t count = 0;
    Clock::time_point lastReport = Clock::time_point::min();

    std::atomic<std::uint64_t> held{0};
    std::atomic<bool> reportDue{false};
};
