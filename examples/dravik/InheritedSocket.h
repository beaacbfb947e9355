#pragma once

#include <cstdint>

namespace dravik_app {

// The socket a service manager passed this process, as systemd's socket
// activation and its kin do: LISTEN_PID names this process and LISTEN_FDS
// counts the descriptors from 3; the first is taken, and the variables are
// unset so that no child takes them for its own. Throws UserError when
// none was passed; a UsageError where the platform has no such thing.
std::uintptr_t socketFromEnvironment();

}  // namespace dravik_app
