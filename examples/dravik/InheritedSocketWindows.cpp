#include "InheritedSocket.h"

#include "CommandLine.h"

namespace dravik_app {

std::uintptr_t socketFromEnvironment() {
    throw UsageError("--socket-from-environment takes a socket a POSIX service manager passed");
}

}  // namespace dravik_app
