#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <velmora/LogControl.h>

namespace dravik_app {

// While it exists, the library's log lines at or above `shown` go to standard
// error as the SDK's logger writes them, and the outcome of every send is
// counted from its "Sent" or "Error sending data" line, whatever is shown.
class LogLines {
public:
    explicit LogLines(velmora::LogLevel shown);
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    // Sends whose outcome is known, and of those the failed ones.
    std::uint64_t sendsSettled() const { return settled.load(); }
    std::uint64_t sendsFailed() const { return failed.load(); }
    // Why the last failed send failed, as the system put it.
    std::string lastFailure() const;

private:
    void take(velmora::LogLevel level, const std::string& line);

    const velmora::LogLevel shown;
    const velmora::LogLevel previousMinimum;
    std::atomic<std::uint64_t> settled{0};
    std::atomic<std::uint64_t> failed{0};
    mutable std::mutex mutex;
    std::string failure;
};

}  // namespace dravik_app
