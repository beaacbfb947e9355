#pragma once

#include <functional>
#include <memory>
#include <string>

#include <dravik/UDPServer.h>

namespace dravik_test {

// Builds a server on a free local port, stored in `port`. Retries with another
// port if the one found was taken before the server could bind it.
std::unique_ptr<UDPServer> onFreePort(const std::function<std::unique_ptr<UDPServer>(int)>& make,
                                      int& port);

std::unique_ptr<UDPServer> receiveOnlyServer(int& port);
std::unique_ptr<UDPServer> peerServer(const std::string& remoteAddress, int remotePort, int& port);

struct PeerPair {
    std::unique_ptr<UDPServer> first;
    std::unique_ptr<UDPServer> second;
};

// Two peer-mode servers on `loopback`, each aimed at the other's port.
PeerPair peerPair(const std::string& loopback);

}  // namespace dravik_test
