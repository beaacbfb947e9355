// Windows: Ctrl-C arrives on a thread of its own, which cancels the reading
// thread's blocked read of standard input (a console event does not end it,
// a pipe's least of all) for as long as it takes to land. Standard input is
// read line by line, and the streams through the C runtime, in binary mode.
#include "Interrupt.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>

#include "CommandLine.h"

namespace dravik_app {
namespace {

// Read by every thread of the tool; lock-free, so the handlers may set it.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handlers store it");

// The thread that reads standard input, and whether it is in a read.
HANDLE reader = nullptr;
std::atomic<bool> reading{false};

// How long a Ctrl-C keeps cancelling a read that began just after it.
constexpr int kCancelTries = 100;
constexpr DWORD kCancelPauseMs = 10;

extern "C" void onTerminate(int signal) {
    received = signal;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    received = SIGINT;
    for (int i = 0; i < kCancelTries && reader != nullptr; ++i) {
        if (reading.load()) ::CancelSynchronousIo(reader);
        ::Sleep(kCancelPauseMs);
    }
    return TRUE;
}

// Marks the calling thread as in a read of standard input while it lives.
struct Reading {
    Reading() { reading = true; }
    ~Reading() { reading = false; }
};

}  // namespace

// The system gives a process without standard streams invalid handles,
// which the C runtime turns into failing streams: nothing to take over.
void prepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

// Ctrl-C stays ignored where the parent had the process ignore it.
void catchInterrupts() {
    if (reader == nullptr) {
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                          &reader, THREAD_TERMINATE, FALSE, 0);
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    std::signal(SIGTERM, onTerminate);
}

bool interrupted() {
    return received.load() != 0;
}

int interruptSignal() {
    return received.load();
}

// One line at a time: the console gives no way to ask what has arrived. A
// line cut short by a cancelled read is not one.
bool readLines(std::vector<std::string>& lines) {
    lines.resize(1);
    std::string& line = lines.front();
    if (interrupted()) return false;
    const Reading inRead;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    return got && !(interrupted() && std::cin.eof());
}

std::size_t readSome(std::FILE* in, char* block, std::size_t size) {
    if (interrupted()) return 0;
    std::size_t got = 0;
    {
        const Reading inRead;
        got = std::fread(block, 1, size, in);
    }
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
