#pragma once

#include <string>

namespace dravik_test {

// Moves the calling thread into a new network namespace of its own, runs
// `setup` there (a shell command that configures its interfaces), and moves
// the thread back when destroyed; sockets opened meanwhile stay in it.
// `skipReason` says why, where the system does not allow it. A Windows build
// only finds itself in a namespace that a script has made around it.
class NetworkNamespace {
public:
    explicit NetworkNamespace(const std::string& setup);
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    std::string skipReason;

private:
    int original;
    bool entered = false;
};

}  // namespace dravik_test
