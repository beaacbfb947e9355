#include "OpenServer.h"

#include <system_error>

#include "CommandLine.h"

namespace dravik_app {
namespace {

// The library refuses text that is not a numeric address with
// invalid_argument and no context; every other failure is the system's, told
// by its code ("bind: ..." when the address itself cannot be bound).
[[noreturn]] void explain(const std::system_error& e, const std::string& address, int localPort) {
    const bool binding = std::string(e.what()).rfind("bind:", 0) == 0;
    if (e.code() == std::errc::invalid_argument && !binding) {
        throw UserError("'" + address +
                        "' is not a numeric IPv4 or IPv6 address (host names are not looked up)");
    }
    if (e.code() == std::errc::invalid_argument) {
        const bool unscopedV6 = address.find(':') != std::string::npos &&
                                address.find('%') == std::string::npos;
        throw UserError("cannot bind to " + address + ": " + e.code().message() +
                        (unscopedV6 ? " (a link-local address needs its interface as a scope, "
                                      "as in fe80::1%eth0)"
                                    : ""));
    }
    if (e.code() == std::errc::address_in_use) {
        throw UserError("local port " + std::to_string(localPort) + " is already in use");
    }
    if (e.code() == std::errc::address_not_available) {
        throw UserError("this host has no address " + address);
    }
    throw UserError("cannot open local port " + std::to_string(localPort) + ": " +
                    e.code().message());
}

}  // namespace

std::unique_ptr<UDPServer> openReceiveOnly(int localPort, const std::string& localAddress) {
    try {
        return std::make_unique<UDPServer>(localPort, localAddress);
    } catch (const std::system_error& e) {
        explain(e, localAddress, localPort);
    }
}

std::unique_ptr<UDPServer> openPeer(const std::string& host, int remotePort, int localPort) {
    try {
        return std::make_unique<UDPServer>(host, remotePort, localPort);
    } catch (const std::system_error& e) {
        explain(e, host, localPort);
    }
}

std::string systemDrops(const UDPServer& server) {
    const unsigned long long drops = server.counters().droppedBySystem;
    if (server.maxDatagramSize() <= 1024) return "dropped by the system " + std::to_string(drops);
    return "the system dropped " + counted(drops, "packet") +
           "; a packet may hold several datagrams";
}

}  // namespace dravik_app
