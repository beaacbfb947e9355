#include "support/Servers.h"

#include <system_error>

#include "support/PeerSocket.h"

namespace dravik_test {

namespace {

bool isAddressInUse(const std::system_error& e) {
    return e.code() == std::errc::address_in_use;
}

}  // namespace

std::unique_ptr<UDPServer> onFreePort(const std::function<std::unique_ptr<UDPServer>(int)>& make,
                                      int& port) {
    for (int attempt = 1;; ++attempt) {
        port = freeUdpPort();
        try {
            return make(port);
        } catch (const std::system_error& e) {
            if (attempt == 5 || !isAddressInUse(e)) throw;
        }
    }
}

std::unique_ptr<UDPServer> receiveOnlyServer(int& port) {
    return onFreePort([](int local) { return std::make_unique<UDPServer>(local); }, port);
}

std::unique_ptr<UDPServer> peerServer(const std::string& remoteAddress, int remotePort, int& port) {
    return onFreePort(
        [&](int local) { return std::make_unique<UDPServer>(remoteAddress, remotePort, local); },
        port);
}

}  // namespace dravik_test

namespace dravik_test {

PeerPair peerPair(const std::string& loopback) {
    for (int attempt = 1;; ++attempt) {
        const auto [firstPort, secondPort] = twoFreeUdpPorts();
        try {
            PeerPair pair;
            pair.first = std::make_unique<UDPServer>(loopback, secondPort, firstPort);
            pair.second = std::make_unique<UDPServer>(loopback, firstPort, secondPort);
            return pair;
        } catch (const std::system_error& e) {
            if (attempt == 5 || !isAddressInUse(e)) throw;
        }
    }
}

}  // namespace dravik_test
