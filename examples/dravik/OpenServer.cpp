#include "OpenServer.h"

#include <system_error>

#include "CommandLine.h"

namespace dravik_app {
namespace {

[[noreturn]] void explainBindFailure(const std::system_error& e, int localPort) {
    if (e.code() == std::errc::address_in_use) {
        throw UserError("local port " + std::to_string(localPort) + " is already in use");
    }
    throw UserError("cannot open local port " + std::to_string(localPort) + ": " + e.what());
}

}  // namespace

std::unique_ptr<UDPServer> openReceiveOnly(int localPort) {
    try {
        return std::make_unique<UDPServer>(localPort);
    } catch (const std::system_error& e) {
        explainBindFailure(e, localPort);
    }
}

std::unique_ptr<UDPServer> openPeer(const std::string& host, int remotePort, int localPort) {
    try {
        return std::make_unique<UDPServer>(host, remotePort, localPort);
    } catch (const std::system_error& e) {
        // The library's open and bind failures say so; the rest is the address.
        const std::string what = e.what();
        if (what.rfind("open", 0) == 0 || what.rfind("bind", 0) == 0) {
            explainBindFailure(e, localPort);
        }
        throw UserError("'" + host +
                        "' is not a numeric IPv4 or IPv6 address (host names are not looked up)");
    }
}

}  // namespace dravik_app
