#include <velmora/LogControl.h>
#include <velmora/Logger.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>

namespace velmora {
namespace {

struct LogState {
    std::atomic<LogLevel> minimum{LogLevel::Debug};
    std::mutex mutex;  // one line at a time, to standard error or the capture
    LogControl::Capture capture;
};

// Never destroyed, so that threads still logging during exit find it intact.
LogState& state() {
    static LogState* const instance = new LogState;
    return *instance;
}

const char* label(LogLevel level) {
    switch (level) {
    case LogLevel::Debug: return "[DEBUG] ";
    case LogLevel::Info: return "[INFO] ";
    case LogLevel::Error: return "[ERROR] ";
    case LogLevel::Off: break;
    }
    return "";
}

void write(LogLevel level, const std::string& message) noexcept {
    LogState& s = state();
    if (level < s.minimum.load(std::memory_order_relaxed)) return;
    try {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.capture) {
            s.capture(level, message);
            return;
        }
        lock.unlock();
        // Composed before taking the lock; one fwrite keeps the line whole.
        std::string line = label(level);
        line += escapeControlBytes(message);
        line += '\n';
        lock.lock();
        std::fwrite(line.data(), 1, line.size(), stderr);
    } catch (...) {
        // A logger that throws would take its caller down; the line is lost.
    }
}

}  // namespace

void Logger::info(const std::string& message) { write(LogLevel::Info, message); }
void Logger::error(const std::string& message) { write(LogLevel::Error, message); }
void Logger::debug(const std::string& message) { write(LogLevel::Debug, message); }

void LogControl::setMinimumLevel(LogLevel level) { state().minimum.store(level); }

LogLevel LogControl::minimumLevel() { return state().minimum.load(); }

void LogControl::setCapture(Capture capture) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = std::move(capture);
}

}  // namespace velmora
