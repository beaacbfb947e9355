#pragma once

#include <chrono>
#include <cstdint>

// Keeps the error lines that network input triggers (receive errors, foreign
// senders, empty datagrams) from driving the log without bound: at most
// kLinesPerWindow of them in any one-second window, the rest only counted.
// A window opens with the first line after the previous one has ended; once
// it has held a line back, it holds every line until its count is taken.
// Worker thread only.
class ErrorLineBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kLinesPerWindow = 10;
    static constexpr Clock::duration kWindow = std::chrono::seconds(1);

    // Whether one more line may be logged at `now`; if not, it is counted as
    // held back.
    bool admit(Clock::time_point now);

    // Whether the current window has held lines back; while it has, every
    // line is held without asking the time.
    bool spent() const { return heldBack != 0; }
    void holdBack() { ++heldBack; }
    // The held-back count, reset to 0.
    std::uint64_t takeHeld();
    // When the current window ends.
    Clock::time_point windowEnd() const { return end; }

private:
    Clock::time_point end{};
    int logged = 0;
    std::uint64_t heldBack = 0;
};
