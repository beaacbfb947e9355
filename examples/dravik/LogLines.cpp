#include "LogLines.h"

#include <algorithm>
#include <cstdio>

namespace dravik_app {
namespace {

const std::string kSendFailed = "[UDPServer] Error sending data on port ";
const std::string kQueueFull = "[UDPServer] Error: Send queue full on port ";
const std::string kUnreachable = "[UDPServer] Destination ";

bool startsWith(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

const char* label(velmora::LogLevel level) {
    switch (level) {
    case velmora::LogLevel::Debug: return "[DEBUG] ";
    case velmora::LogLevel::Info: return "[INFO] ";
    default: return "[ERROR] ";
    }
}

}  // namespace

LogLines::LogLines(velmora::LogLevel shown, bool ownUnreachable)
    : shown(shown),
      ownUnreachable(ownUnreachable),
      previousMinimum(velmora::LogControl::minimumLevel()) {
    velmora::LogControl::setCapture(
        [this](velmora::LogLevel level, const std::string& line) { take(level, line); });
    // Error lines are taken whatever is shown, for the reason of a failed send.
    velmora::LogControl::setMinimumLevel(std::min(shown, velmora::LogLevel::Error));
}

LogLines::~LogLines() {
    velmora::LogControl::setMinimumLevel(previousMinimum);
    velmora::LogControl::setCapture({});
}

std::string LogLines::lastFailure() const {
    std::lock_guard<std::mutex> lock(mutex);
    return failure;
}

// Called by the logger, one line at a time.
void LogLines::take(velmora::LogLevel level, const std::string& line) {
    if (startsWith(line, kQueueFull)) return;
    if (ownUnreachable && startsWith(line, kUnreachable)) return;
    if (startsWith(line, kSendFailed)) {
        // "...on port N: reason"
        const std::size_t colon = line.find(": ", kSendFailed.size());
        {
            std::lock_guard<std::mutex> lock(mutex);
            failure = colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    if (shown != velmora::LogLevel::Off && level >= shown) {
        const std::string text = label(level) + velmora::escapeControlBytes(line) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

}  // namespace dravik_app
