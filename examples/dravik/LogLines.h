#pragma once

#include <mutex>
#include <string>

#include <velmora/LogControl.h>

namespace dravik_app {

// While it exists, the library's log lines at or above `shown` go to standard
// error as the SDK's logger writes them, but for the lines of a full send
// queue, which the tool waits out, and, where the command reports them
// itself (`ownUnreachable`), those of unreachable destinations; the reason
// of the last failed send is kept from its "Error sending data" line,
// whatever is shown.
class LogLines {
public:
    explicit LogLines(velmora::LogLevel shown, bool ownUnreachable = false);
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    // Why the last failed send failed, as the system put it.
    std::string lastFailure() const;

private:
    void take(velmora::LogLevel level, const std::string& line);

    const velmora::LogLevel shown;
    const bool ownUnreachable;
    const velmora::LogLevel previousMinimum;
    mutable std::mutex mutex;
    std::string failure;
};

}  // namespace dravik_app
