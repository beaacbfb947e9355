// Windows: Ctrl-C arrives on a thread of its own; standard input is read
// line by line, and the streams through the C runtime.
#include "Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>

#include "CommandLine.h"

namespace dravik_app {
namespace {

// Read by every thread of the tool; lock-free, so the handler may set it.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores it");

extern "C" void onInterrupt(int signal) {
    received = signal;
}

}  // namespace

// The system gives a process without standard streams invalid handles,
// which the C runtime turns into failing streams: nothing to take over.
void openClosedStandardStreams() {}

void catchInterrupts() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

bool interrupted() {
    return received.load() != 0;
}

int interruptSignal() {
    return received.load();
}

// One line at a time: the console gives no way to ask what has arrived.
bool readLines(std::vector<std::string>& lines) {
    lines.resize(1);
    std::string& line = lines.front();
    if (interrupted() || !std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::size_t readSome(std::FILE* in, char* block, std::size_t size) {
    if (interrupted()) return 0;
    const std::size_t got = std::fread(block, 1, size, in);
    if (got == 0 && std::ferror(in) && !interrupted()) {
        throw StreamError("read error", errno ? errno : EIO);
    }
    return got;
}

void writeOut(const void* data, std::size_t size) {
    errno = 0;
    if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0) {
        throw StreamError("write error", errno ? errno : EIO);
    }
}

// The C runtime's writes cannot be given up on: a reader that stopped
// reading holds this one until it reads again.
bool writeOutBefore(const void* data, std::size_t size, const std::atomic<std::int64_t>&) {
    writeOut(data, size);
    return true;
}

}  // namespace dravik_app
