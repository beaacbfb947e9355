#include "support/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

namespace dravik_test {

NetworkNamespace::NetworkNamespace(const std::string& setup)
    : original(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (original < 0 || ::unshare(CLONE_NEWNET) != 0) {
        skipReason = "cannot make a network namespace (needs CAP_SYS_ADMIN)";
        return;
    }
    entered = true;
    if (std::system((setup + " 2>/dev/null").c_str()) != 0) {
        skipReason = "cannot set up the namespace's interfaces (needs ip and tc): " + setup;
    }
}

NetworkNamespace::~NetworkNamespace() {
    if (entered) ::setns(original, CLONE_NEWNET);
    if (original >= 0) ::close(original);
}

}  // namespace dravik_test
