#pragma once

#include <memory>
#include <string>

#include <dravik/UDPServer.h>

namespace dravik_app {

// Constructs a server, turning the library's exceptions, by their error
// codes, into one-line UserErrors a user can act on (a port in use, a host
// name for an address, no descriptors left).
std::unique_ptr<UDPServer> openReceiveOnly(int localPort, const std::string& localAddress);
std::unique_ptr<UDPServer> openPeer(const std::string& host, int remotePort, int localPort);

// What the system dropped, for a command's summary: "dropped by the system N",
// or, for a server raised above 1,024 bytes (which may take coalesced
// trains, each of which the system counts as one packet), "the system
// dropped N packets; a packet may hold several datagrams".
std::string systemDrops(const UDPServer& server);

}  // namespace dravik_app
