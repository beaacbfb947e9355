#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "Commands.h"
#include "DatagramPrinter.h"
#include "Interrupt.h"
#include "OpenServer.h"

namespace dravik_app {
namespace {

void sendOne(UDPServer& server, const std::string& message) {
    if (server.send(message.data(), message.size()) != UDPServer::Ok) {
        throw UserError("the datagram could not be sent (see the log line above)");
    }
}

}  // namespace

int runSend(CommandLine& line) {
    const int localPort = parsePort(line.value("--local-port", "0"), "--local-port");
    const long waitMs = parseNumber(line.value("--wait", "500"), "--wait", 0, 3600000);
    const auto positional = line.finish();
    if (positional.size() < 2) throw UsageError("send takes HOST PORT [MESSAGE ...]");
    const std::string& host = positional[0];
    const int remotePort = parsePort(positional[1], "PORT");

    DatagramPrinter printer(PrintFormat::Text);
    auto server = openPeer(host, remotePort, localPort);
    server->setDelegate(&printer);
    if (localPort == 0) std::fprintf(stderr, "sending from UDP port %d\n", server->localPort());
    catchInterrupts();
    server->start();

    if (positional.size() > 2) {
        for (std::size_t i = 2; i < positional.size(); ++i) sendOne(*server, positional[i]);
    } else {
        for (std::string message; !interrupted() && std::getline(std::cin, message);) {
            sendOne(*server, message);
        }
    }

    // Replies keep coming for a while; stop after a quiet period.
    std::int64_t quietSince = nowMs();
    while (!interrupted()) {
        quietSince = std::max(quietSince, printer.lastArrival());
        if (nowMs() - quietSince >= waitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server->stop();
    return 0;
}

}  // namespace dravik_app
