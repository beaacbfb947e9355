#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

// Keeps the error lines that network input or overload trigger (receive
// errors, foreign senders, empty datagrams, system drops, a full send queue)
// from driving the log without bound: at most kLinesPerSpan of them in any
// span of kSpan, the rest only counted. A line takes its place in the span
// when admitted and keeps it from when it has been logged, so a logger that
// stamps lines as they arrive sees no more than the budget even when the
// thread was held up between the two. Once a line has been held back, every
// line is held, without asking the time, until the count is reported, which
// happens once the span allows a line again and at most once per kSpan.
// Any thread.
class ErrorLineBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kLinesPerSpan = 10;
    static constexpr Clock::duration kSpan = std::chrono::seconds(1);

    // An admitted line, or none (false). It counts in the span as logged when
    // it ends: declare it in the `if` that logs the line.
    class Line {
    public:
        Line() = default;
        Line(ErrorLineBudget& budget, Clock::time_point admitted)
            : budget(&budget), admitted(admitted) {}
        Line(Line&& other) noexcept
            : budget(std::exchange(other.budget, nullptr)), admitted(other.admitted) {}
        Line& operator=(Line&&) = delete;
        ~Line() {
            if (budget != nullptr) budget->logged(admitted, Clock::now());
        }
        explicit operator bool() const { return budget != nullptr; }

    private:
        ErrorLineBudget* budget = nullptr;
        Clock::time_point admitted;
    };

    // Whether a line may be logged at `now`; if so, it is counted as logged
    // then. Check holding() first.
    bool admit(Clock::time_point now);
    // Moves the line admitted at `admitted` to when it was logged, `done`,
    // unless the span has let its place go meanwhile.
    void logged(Clock::time_point admitted, Clock::time_point done);
    // A line that may be logged now: nothing is held, and the span has room.
    // While lines are held, the clock is not read.
    Line admitNow() {
        if (holding()) return {};
        const Clock::time_point now = Clock::now();
        return admit(now) ? Line(*this, now) : Line();
    }

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
    // The report of a count taken at takeHeld() was logged at `done`: the
    // next report is a span after that.
    void reported(Clock::time_point done);

private:
    mutable std::mutex mutex;  // held only to read or update the times
    std::array<Clock::time_point, kLinesPerSpan> places{};  // ring, oldest at `oldest`
    std::size_t oldest = 0;
    std::size_t count = 0;
    Clock::time_point lastReport = Clock::time_point::min();

    std::atomic<std::uint64_t> held{0};
    std::atomic<bool> reportDue{false};
};
