#include "support/LogRecorder.h"

#include <algorithm>

namespace dravik_test {

LogRecorder::LogRecorder() : previousLevel(velmora::LogControl::minimumLevel()) {
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Debug);
    velmora::LogControl::setCapture([this](velmora::LogLevel level, const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back({level, text});
            if (level == velmora::LogLevel::Error) {
                errorTimes.push_back(std::chrono::steady_clock::now());
            }
        }
        changed.notify_all();
    });
}

LogRecorder::~LogRecorder() {
    velmora::LogControl::setCapture(nullptr);
    velmora::LogControl::setMinimumLevel(previousLevel);
}

std::vector<LogLine> LogRecorder::lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

std::vector<LogLine> LogRecorder::linesStartingWith(const std::string& prefix) const {
    std::vector<LogLine> matching;
    for (const LogLine& line : lines()) {
        if (line.text.compare(0, prefix.size(), prefix) == 0) matching.push_back(line);
    }
    return matching;
}

std::size_t LogRecorder::count(velmora::LogLevel level, const std::string& text) const {
    const std::vector<LogLine> all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), LogLine{level, text}));
}

std::size_t LogRecorder::mostErrorLinesWithin(std::chrono::steady_clock::duration span) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; last < errorTimes.size(); ++last) {
        while (errorTimes[last] - errorTimes[first] >= span) ++first;
        most = std::max(most, last - first + 1);
    }
    return most;
}

bool LogRecorder::waitForLines(const std::string& prefix, std::size_t n,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
        std::size_t found = 0;
        for (const LogLine& line : recorded) {
            if (line.text.compare(0, prefix.size(), prefix) == 0) ++found;
        }
        return found >= n;
    });
}

}  // namespace dravik_test
