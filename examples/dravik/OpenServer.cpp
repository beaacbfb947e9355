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

// The library's open and bind failures say so in their text; any other
// failure of a constructor is the address it was given.
bool isOpenOrBindFailure(const std::system_error& e) {
    const std::string what = e.what();
    return what.rfind("open", 0) == 0 || what.rfind("bind", 0) == 0;
}

[[noreturn]] void explainAddressFailure(const std::string& address) {
    throw UserError("'" + address +
                    "' is not a numeric IPv4 or IPv6 address (host names are not looked up)");
}

}  // namespace

std::unique_ptr<UDPServer> openReceiveOnly(int localPort, const std::string& localAddress) {
    try {
        return std::make_unique<UDPServer>(localPort, localAddress);
    } catch (const std::system_error& e) {
        if (!isOpenOrBindFailure(e)) explainAddressFailure(localAddress);
        if (e.code() == std::errc::address_not_available) {
            throw UserError("this host has no address " + localAddress);
        }
        explainBindFailure(e, localPort);
    }
}

std::unique_ptr<UDPServer> openPeer(const std::string& host, int remotePort, int localPort) {
    try {
        return std::make_unique<UDPServer>(host, remotePort, localPort);
    } catch (const std::system_error& e) {
        if (isOpenOrBindFailure(e)) explainBindFailure(e, localPort);
        explainAddressFailure(host);
    }
}

}  // namespace dravik_app
