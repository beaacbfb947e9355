#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Commands.h"
#include "DatagramPrinter.h"
#include "Interrupt.h"
#include "LogLines.h"
#include "OpenServer.h"

namespace dravik_app {
namespace {

// Sends one datagram; false if it was refused at once.
bool sendOne(UDPServer& server, const std::string& message) {
    return server.send(message.data(), message.size()) == UDPServer::Ok;
}

// Waits, a while at most, until every send issued has a known outcome.
void awaitOutcomes(const LogLines& log, std::uint64_t issued) {
    const std::int64_t giveUp = nowMs() + 5000;
    while (log.sendsSettled() < issued && nowMs() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    const std::string destination =
        (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" +
        std::to_string(remotePort);

    LogLines log(velmora::LogControl::minimumLevel());
    DatagramPrinter printer(PrintFormat::Text);
    auto server = openPeer(host, remotePort, localPort);
    server->setDelegate(&printer);
    catchInterrupts();
    server->start();
    if (localPort == 0) std::fprintf(stderr, "sending from UDP port %d\n", server->localPort());

    // Every datagram is tried, whatever became of the ones before.
    std::uint64_t issued = 0, refused = 0;
    auto sendMessage = [&](const std::string& message) {
        ++(sendOne(*server, message) ? issued : refused);
    };
    if (positional.size() > 2) {
        for (std::size_t i = 2; i < positional.size(); ++i) sendMessage(positional[i]);
    } else {
        for (std::string message; readLine(message);) sendMessage(message);
    }
    awaitOutcomes(log, issued);

    // Replies keep coming for a while; stop after a quiet period.
    std::int64_t quietSince = nowMs();
    while (!interrupted()) {
        quietSince = std::max(quietSince, printer.lastArrival());
        if (nowMs() - quietSince >= waitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server->stop();
    if (printer.writeError() != 0) throw StreamError("write error", printer.writeError());

    const std::uint64_t failed = refused + log.sendsFailed();
    if (failed == 0) return 0;
    const std::string reason =
        refused ? "the address is unspecified (0.0.0.0 or ::)" : log.lastFailure();
    std::fprintf(stderr, "dravik send: %s to %s could not be sent: %s\n",
                 counted(failed, "datagram").c_str(), destination.c_str(), reason.c_str());
    return 1;
}

}  // namespace dravik_app
