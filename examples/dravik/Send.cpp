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
#include "OutputWriter.h"

namespace dravik_app {
namespace {

// Sends one datagram; when the server's queue is full (the link is slower
// than the input), waits until it has drained before trying again, so that
// refusals stay rare. False if it was refused for good, or if an interrupt
// came while it waited.
bool sendOne(UDPServer& server, const std::string& message) {
    for (;;) {
        const UDPServer::Error result = server.send(message.data(), message.size());
        if (result != UDPServer::SendQueueFull) return result == UDPServer::Ok;
        while (server.counters().waitingDatagrams != 0) {
            if (interrupted()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// Waits until every send issued has left or failed, however slow the link,
// unless an interrupt comes first.
void awaitOutcomes(const UDPServer& server) {
    for (;;) {
        const UDPServer::Counters c = server.counters();
        if (c.sent + c.sendsFailed >= c.sendsAccepted || interrupted()) return;
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
    OutputWriter output;
    DatagramPrinter printer(PrintFormat::Text, output);
    auto server = openPeer(host, remotePort, localPort);
    server->setDelegate(&printer);
    catchInterrupts();
    server->start();
    if (localPort == 0) std::fprintf(stderr, "sending from UDP port %d\n", server->localPort());

    // Every datagram is tried, whatever became of the ones before.
    std::uint64_t refused = 0;
    auto sendMessage = [&](const std::string& message) {
        if (!sendOne(*server, message)) ++refused;
    };
    bool inputEnded = true;
    if (positional.size() > 2) {
        for (std::size_t i = 2; i < positional.size() && !interrupted(); ++i) {
            sendMessage(positional[i]);
        }
        inputEnded = !interrupted();
    } else {
        for (std::string message; readLine(message);) sendMessage(message);
        inputEnded = !interrupted();
    }
    awaitOutcomes(*server);

    // Replies keep coming for a while; stop after a quiet period.
    std::int64_t quietSince = nowMs();
    while (!interrupted() && output.error() == 0) {
        quietSince = std::max(quietSince, printer.lastArrival());
        if (nowMs() - quietSince >= waitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Replies already taken are printed unless an interrupt says otherwise;
    // a stalled reader cannot hold up the stop.
    output.drain();
    output.close();
    server->stop();
    if (output.error() != 0) throw StreamError("write error", output.error());

    // Sends still waiting when an interrupt stopped the server are discarded.
    const UDPServer::Counters c = server->counters();
    const std::uint64_t failed = refused + c.sendsFailed + c.sendsDiscarded;
    if (failed != 0) {
        const std::string reason = c.sendsFailed ? log.lastFailure()
                                   : interrupted() ? "interrupted before they could leave"
                                                   : "the address is unspecified (0.0.0.0 or ::)";
        std::fprintf(stderr, "dravik send: %s to %s could not be sent: %s\n",
                     counted(failed, "datagram").c_str(), destination.c_str(), reason.c_str());
    }
    // Cut short: the shell's status for the signal, so a script can tell.
    if (!inputEnded) return 128 + interruptSignal();
    return failed == 0 ? 0 : 1;
}

}  // namespace dravik_app
