// POSIX: the handler also writes to a pipe, so a wait for input can watch for
// it with poll() instead of sleeping through the interrupt.
#include "Interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "CommandLine.h"

namespace dravik_app {
namespace {

volatile std::sig_atomic_t received = 0;
int wakeFds[2] = {-1, -1};

extern "C" void onInterrupt(int) {
    received = 1;
    const int saved = errno;
    if (wakeFds[1] >= 0) (void)!::write(wakeFds[1], "", 1);
    errno = saved;
}

// Input read but not yet returned as a line.
std::string pending;

}  // namespace

void catchInterrupts() {
    if (wakeFds[0] < 0 && ::pipe(wakeFds) == 0) {
        for (int fd : wakeFds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return received != 0;
}

bool readLine(std::string& line) {
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line.assign(pending, 0, end);
            pending.erase(0, end + 1);
            return true;
        }
        if (interrupted()) return false;
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        if (::poll(watched, wakeFds[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            throw StreamError("read error", errno);
        }
        if (watched[1].revents != 0) return false;
        char block[4096];
        const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw StreamError("read error", errno);
        }
        if (got == 0) {
            if (pending.empty()) return false;
            line.swap(pending);
            pending.clear();
            return true;
        }
        pending.append(block, static_cast<std::size_t>(got));
    }
}

}  // namespace dravik_app
