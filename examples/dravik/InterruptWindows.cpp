// Windows: Ctrl-C arrives on a thread of its own. Input is read by a thread
// of its own too, since a read blocked on a pipe cannot be relied on to end
// for Ctrl-C (Wine does not cancel it): a wait for input waits for that
// thread's news or for Ctrl-C, whichever comes first. The streams are in
// binary mode; output goes through the C runtime.
#include "Interrupt.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "CommandLine.h"

namespace dravik_app {
namespace {

// Read by every thread of the tool; lock-free, so the handlers may set it.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handlers store it");

// Reads one input on a thread of its own into a bounded buffer. It lives as
// long as the process: a thread blocked in a read is ended with it.
class BackgroundReader {
public:
    static constexpr std::size_t kMostBuffered = 1 << 20;

    explicit BackgroundReader(HANDLE input) : input(input) {
        std::thread([this] { run(); }).detach();
    }

    // What has arrived, up to `size` bytes, once any has; 0 at the end, on
    // a failed read (`failed` set), or on Ctrl-C.
    std::size_t take(char* block, std::size_t size, DWORD& failed) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !buffered.empty() || ended || received.load() != 0; });
        failed = error;
        if (received.load() != 0 && buffered.empty()) return 0;
        const std::size_t n = std::min(size, buffered.size());
        std::memcpy(block, buffered.data(), n);
        buffered.erase(0, n);
        changed.notify_all();
        return n;
    }

    void wake() {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    }

private:
    void run() {
        char block[65536];
        for (;;) {
            DWORD got = 0;
            const bool read = ::ReadFile(input, block, sizeof block, &got, nullptr) != 0;
            const DWORD failure = read ? 0 : ::GetLastError();
            std::unique_lock<std::mutex> lock(mutex);
            buffered.append(block, got);
            // A pipe whose writer has gone reads as its end.
            if (!read && failure != ERROR_BROKEN_PIPE) error = failure;
            ended = !read || got == 0;
            changed.notify_all();
            if (ended) return;
            changed.wait(lock, [&] { return buffered.size() < kMostBuffered; });
        }
    }

    const HANDLE input;
    std::mutex mutex;
    std::condition_variable changed;
    std::string buffered;
    bool ended = false;
    DWORD error = 0;
};

std::mutex readersMutex;
std::map<HANDLE, BackgroundReader*> readers;

BackgroundReader& readerOf(std::FILE* in) {
    const auto input = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
    std::lock_guard<std::mutex> lock(readersMutex);
    BackgroundReader*& reader = readers[input];
    if (reader == nullptr) reader = new BackgroundReader(input);
    return *reader;
}

extern "C" void onTerminate(int signal) {
    received = signal;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    received = SIGINT;
    std::lock_guard<std::mutex> lock(readersMutex);
    for (const auto& reader : readers) reader.second->wake();
    return TRUE;
}

}  // namespace

// The system gives a process without standard streams invalid handles,
// which the C runtime turns into failing streams: nothing to take over.
void prepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

// Ctrl-C stays ignored where the parent had the process ignore it (the
// system then calls no handler for it).
// A process has one console: two streams that are both consoles share it.
bool standardErrorIsOwnTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0 && ::_isatty(::_fileno(stdout)) == 0;
}

void catchInterrupts() {
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::signal(SIGTERM, onTerminate);
}

bool interrupted() {
    return received.load() != 0;
}

int interruptSignal() {
    return received.load();
}

std::size_t readSome(std::FILE* in, char* block, std::size_t size) {
    if (interrupted()) return 0;
    DWORD failed = 0;
    const std::size_t got = readerOf(in).take(block, size, failed);
    if (got == 0 && failed != 0 && !interrupted()) {
        throw StreamError("read error", failed == ERROR_ACCESS_DENIED ? EACCES : EIO);
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
