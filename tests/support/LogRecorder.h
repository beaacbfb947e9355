#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <velmora/LogControl.h>

namespace dravik_test {

struct LogLine {
    velmora::LogLevel level;
    std::string text;
    bool operator==(const LogLine& other) const {
        return level == other.level && text == other.text;
    }
};

// Captures every line the stand-in logger receives while it exists (all
// levels), so tests can compare them exactly; the minimum level is restored
// afterwards. One recorder at a time.
class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<LogLine> lines() const;
    // Lines whose text starts with `prefix`.
    std::vector<LogLine> linesStartingWith(const std::string& prefix) const;
    std::size_t count(velmora::LogLevel level, const std::string& text) const;
    // The most error lines logged within any span of `span`.
    std::size_t mostErrorLinesWithin(std::chrono::steady_clock::duration span) const;
    // Waits until at least `n` lines start with `prefix`; false on time-out.
    bool waitForLines(const std::string& prefix, std::size_t n = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<LogLine> recorded;
    std::vector<std::chrono::steady_clock::time_point> errorTimes;
    const velmora::LogLevel previousLevel;
};

}  // namespace dravik_test
