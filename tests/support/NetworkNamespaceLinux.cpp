#include "support/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>

namespace dravik_test {

namespace {

// The system gives an IPv6 address its local route a moment after `ip` has
// added it (later still on a busy machine); a datagram sent to it meanwhile
// is dropped without a word. Waits, up to two seconds, until every address
// on an interface that is up, and not tentative, has its route.
const char* const kAddressesRouted =
    "for _ in $(seq 200); do missing=0;"
    " for a in $(ip -6 -o addr show up -tentative | awk '{ sub(\"/.*\", \"\", $4); print $4 }'); do"
    " ip -6 route show table local | grep -q \"^local $a \" || missing=1; done;"
    " [ $missing = 0 ] && exit 0; sleep 0.01; done; exit 1";

}  // namespace

NetworkNamespace::NetworkNamespace(const std::string& setup)
    : original(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (original < 0 || ::unshare(CLONE_NEWNET) != 0) {
        skipReason = "cannot make a network namespace (needs CAP_SYS_ADMIN)";
        return;
    }
    entered = true;
    if (std::system((setup + " 2>/dev/null").c_str()) != 0) {
        skipReason = "cannot set up the namespace's interfaces (needs ip and tc): " + setup;
    } else if (std::system(kAddressesRouted) != 0) {
        skipReason = "the namespace's IPv6 addresses got no local route within two seconds";
    }
}

NetworkNamespace::~NetworkNamespace() {
    if (entered) ::setns(original, CLONE_NEWNET);
    if (original >= 0) ::close(original);
}

}  // namespace dravik_test
