#include "OpenServer.h"

#include <system_error>

#include "CommandLine.h"
#include "InheritedSocket.h"

namespace dravik_app {
namespace {

// An address refused for its scope ("fe80::1%nosuch"), not for the address.
bool refusedForScope(const std::string& address) {
    const std::size_t percent = address.find('%');
    if (percent == std::string::npos) return false;
    try {
        UDPServer::Endpoint(address.substr(0, percent), 0);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// The library refuses text that is not a numeric address with
// invalid_argument and no context; every other failure is the system's, told
// by its code, after the step that failed ("bind: ...", "join: ...").
[[noreturn]] void explain(const std::system_error& e, const std::string& address, int localPort) {
    const std::string what = e.what();
    const bool binding = what.rfind("bind:", 0) == 0;
    if (e.code() == std::errc::invalid_argument && !binding && refusedForScope(address)) {
        const std::string scope = address.substr(address.find('%') + 1);
        throw UserError(scope.empty() ? "'" + address + "' has an empty scope after '%'"
                                      : "'" + scope + "' is not a network interface of this host " +
                                            "(the scope of '" + address + "')");
    }
    if (e.code() == std::errc::invalid_argument && !binding) {
        throw UserError("'" + address +
                        "' is not a numeric IPv4 or IPv6 address (host names are not looked up)");
    }
    if (what.rfind("join:", 0) == 0) {
        throw UserError("cannot join group " + address + " on port " + std::to_string(localPort) +
                        ": " + e.code().message());
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

std::unique_ptr<UDPServer> openReceiveOnly(int localPort, const std::string& localAddress,
                                           int workers) {
    std::unique_ptr<UDPServer> server;
    try {
        server = std::make_unique<UDPServer>(localPort, localAddress);
    } catch (const std::system_error& e) {
        explain(e, localAddress, localPort);
    }
    try {
        server->setWorkers(workers);
    } catch (const std::system_error& e) {
        // what() is "why: the system's text"; the why is the library's own.
        const std::string what = e.what();
        const std::string why = what.substr(0, what.rfind(": "));
        if (e.code() == std::errc::operation_not_supported) {
            throw UserError("cannot run " + std::to_string(workers) + " workers: " + why);
        }
        explain(e, localAddress, localPort);
    }
    return server;
}

int parseWorkers(CommandLine& line) {
    return static_cast<int>(parseNumber(line.value("--workers", "1"), "--workers", 1, 256));
}

SendMarks parseSendMarks(CommandLine& line) {
    SendMarks marks;
    // Unless given, the system's defaults; given, the ranges the manual says.
    if (const auto tos = line.optionalValue("--tos")) {
        marks.tos = static_cast<int>(parseNumber(*tos, "--tos", 0, 255));
    }
    if (const auto ttl = line.optionalValue("--ttl")) {
        marks.ttl = static_cast<int>(parseNumber(*ttl, "--ttl", 1, 255));
    }
    marks.dontFragment = line.flag("--dont-fragment");
    return marks;
}

void applySendMarks(const SendMarks& marks, UDPServer& server) {
    server.setTrafficClass(marks.tos);
    server.setHopLimit(marks.ttl);
    if (marks.dontFragment) server.setFragmentation(UDPServer::Fragmentation::DontFragment);
}

ListeningPlace parseListeningOptions(CommandLine& line) {
    ListeningPlace place;
    place.fromEnvironment = line.flag("--socket-from-environment");
    if (const auto bind = line.optionalValue("--bind")) {
        place.address = *bind;
        place.bindGiven = true;
    }
    return place;
}

void takePort(ListeningPlace& place, const std::vector<std::string>& positional,
              const std::string& command) {
    if (place.fromEnvironment) {
        if (!positional.empty() || place.bindGiven) {
            throw UsageError("--socket-from-environment takes neither PORT nor --bind: the "
                             "passed socket is bound already");
        }
        return;
    }
    if (positional.size() != 1) throw UsageError(command + " takes exactly one PORT");
    place.port = parsePort(positional[0], "PORT");
}

std::unique_ptr<UDPServer> openListening(const ListeningPlace& place, int workers) {
    if (!place.fromEnvironment) return openReceiveOnly(place.port, place.address, workers);
    std::unique_ptr<UDPServer> server;
    try {
        server = std::make_unique<UDPServer>(UDPServer::AdoptedSocket{socketFromEnvironment()});
        server->setWorkers(workers);
    } catch (const std::system_error& e) {
        throw UserError(std::string("cannot take the passed socket: ") + e.what());
    }
    return server;
}

void hearOnly(const std::vector<std::string>& sources, const ListeningPlace& place,
              UDPServer& server) {
    try {
        server.setSources(sources);
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::invalid_argument ||
            e.code() == std::errc::operation_not_supported) {
            throw UsageError(std::string("--source: ") + e.what() +
                             (place.bindGiven ? "" : " (--bind names the group)"));
        }
        throw UserError(std::string("cannot join from the sources: ") + e.what());
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
