#include "support/NetworkNamespace.h"

#include <cstdlib>

namespace dravik_test {

// A Windows process cannot make a network namespace; scripts/test-windows.sh
// runs a test inside one it has set up, naming the setup in the environment.
NetworkNamespace::NetworkNamespace(const std::string& setup) : original(-1) {
    const char* prepared = std::getenv("DRAVIK_NETWORK_NAMESPACE");
    if (prepared == nullptr || setup != prepared) {
        skipReason = "a Windows process cannot make a network namespace, and none set up by '" +
                     setup + "' was made around it";
    }
}

NetworkNamespace::~NetworkNamespace() = default;

}  // namespace dravik_test
