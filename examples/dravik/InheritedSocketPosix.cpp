#include "InheritedSocket.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "CommandLine.h"

namespace dravik_app {

namespace {

constexpr int kFirstPassedDescriptor = 3;

}  // namespace

std::uintptr_t socketFromEnvironment() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (pid == nullptr || fds == nullptr) {
        throw UserError("no socket was passed: LISTEN_PID and LISTEN_FDS are not set");
    }
    if (std::to_string(::getpid()) != pid) {
        throw UserError(std::string("the passed socket is not this process's: LISTEN_PID is ") +
                        pid);
    }
    if (std::atoi(fds) < 1) {
        throw UserError(std::string("no socket was passed: LISTEN_FDS is ") + fds);
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    return static_cast<std::uintptr_t>(kFirstPassedDescriptor);
}

}  // namespace dravik_app
