// POSIX: the handler also writes to a pipe, so every wait (for input, for room
// in standard output) watches it with poll() beside the stream instead of
// sleeping through the interrupt. Reads and writes go to the descriptors
// directly, a block at a time, so none can block once poll() found it ready.
#include "Interrupt.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>

#include "CommandLine.h"
#include "MonotonicClock.h"

namespace dravik_app {
namespace {

// Read by every thread of the tool; lock-free, so the handler may set it.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores it");
int wakeFds[2] = {-1, -1};

extern "C" void onInterrupt(int signal) {
    received = signal;
    const int saved = errno;
    if (wakeFds[1] >= 0) (void)!::write(wakeFds[1], "", 1);
    errno = saved;
}

// What a pipe takes in one write once poll() says it has room.
constexpr std::size_t kWriteBlock = PIPE_BUF;
// How often a patient write looks whether to give up.
constexpr int kGiveUpCheckMs = 50;

// Waits until `fd` is ready for `events`; false if an interrupt came first.
bool waitFor(int fd, short events, const char* failure) {
    for (;;) {
        if (interrupted()) return false;
        pollfd watched[2] = {{fd, events, 0}, {wakeFds[0], POLLIN, 0}};
        if (::poll(watched, wakeFds[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            throw StreamError(failure, errno);
        }
        if (watched[1].revents != 0) return false;
        if (watched[0].revents != 0) return true;
    }
}

// One read of what `fd` holds once it is readable: the count, 0 at the end of
// the input or on an interrupt.
std::size_t readReady(int fd, char* block, std::size_t size) {
    for (;;) {
        if (!waitFor(fd, POLLIN, "read error")) return 0;
        const ssize_t got = ::read(fd, block, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR && errno != EAGAIN) throw StreamError("read error", errno);
    }
}

// One write to standard output once poll() says it has room, moving `next`
// past what was written.
void writeReady(const char*& next, const char* end) {
    const ssize_t wrote =
        ::write(STDOUT_FILENO, next, std::min<std::size_t>(kWriteBlock, end - next));
    if (wrote >= 0) {
        next += wrote;
    } else if (errno != EINTR && errno != EAGAIN) {
        throw StreamError("write error", errno);
    }
}

}  // namespace

// Output is opened for reading, so that writing it fails as writing the
// closed stream would have.
void prepareStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free number is this one.
            (void)::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        }
    }
}

bool standardErrorIsOwnTerminal() {
    if (::isatty(STDERR_FILENO) != 1) return false;
    if (::isatty(STDOUT_FILENO) != 1) return true;
    struct stat output {}, error {};
    if (::fstat(STDOUT_FILENO, &output) != 0 || ::fstat(STDERR_FILENO, &error) != 0) return false;
    return output.st_rdev != error.st_rdev;
}

void catchInterrupts() {
    if (wakeFds[0] < 0 && ::pipe(wakeFds) == 0) {
        for (int fd : wakeFds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
    }
    // Without SA_RESTART, so a blocked call returns to look at the flag.
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction before {};
    if (::sigaction(SIGINT, nullptr, &before) != 0 || before.sa_handler != SIG_IGN) {
        ::sigaction(SIGINT, &action, nullptr);
    }
    ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return received.load() != 0;
}

int interruptSignal() {
    return received.load();
}

std::size_t readSome(std::FILE* in, char* block, std::size_t size) {
    return readReady(::fileno(in), block, size);
}

void writeOut(const void* data, std::size_t size) {
    const char* next = static_cast<const char*>(data);
    const char* const end = next + size;
    while (next != end) {
        if (!waitFor(STDOUT_FILENO, POLLOUT, "write error")) return;
        writeReady(next, end);
    }
}

bool writeOutBefore(const void* data, std::size_t size,
                    const std::atomic<std::int64_t>& giveUpAt) {
    const char* next = static_cast<const char*>(data);
    const char* const end = next + size;
    while (next != end) {
        pollfd watched{STDOUT_FILENO, POLLOUT, 0};
        const int ready = ::poll(&watched, 1, kGiveUpCheckMs);
        if (ready < 0 && errno != EINTR) throw StreamError("write error", errno);
        if (ready <= 0) {
            const std::int64_t deadline = giveUpAt.load();
            if (deadline != 0 && nowMs() >= deadline) return false;
            continue;
        }
        writeReady(next, end);
    }
    return true;
}

}  // namespace dravik_app
