#pragma once

#include <chrono>
#include <cstdint>

// Keeps the error lines that network input triggers (receive errors, foreign
// senders, empty datagrams) from driving the log without bound: at most
// kLinesPerWindow of them in any one-second window, the rest only counted.
// A window opens with the first line after the previous one has ended.
// Worker thread only.
class ErrorLineBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kLinesPerWindow = 10;
    static constexpr Clock::duration kWindow = std::chrono::seconds(1);

    // Whether one more line may be logged at `now`; if not, it is counted as
    // held back. When this opens a new window, `endedHeld` receives what the
    // window before held back (which the caller reports first), else 0.
    bool admit(Clock::time_point now, std::uint64_t& endedHeld);

    // Lines held back in the current window so far.
    std::uint64_t held() const { return heldBack; }
    // The held-back count, reset to 0.
    std::uint64_t takeHeld();
    // When the current window ends.
    Clock::time_point windowEnd() const { return end; }

private:
    Clock::time_point end{};
    int logged = 0;
    std::uint64_t heldBack = 0;
};
