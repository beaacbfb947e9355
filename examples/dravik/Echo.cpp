#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <dravik/UDPServer.h>

#include "Commands.h"
#include "EchoGuard.h"
#include "Interrupt.h"
#include "OpenServer.h"
#include "SenderLimits.h"
#include "StatsLine.h"

namespace dravik_app {
namespace {

// Sends every datagram back to its sender, from the address it came to,
// unless answering would feed a loop.
class Echoer : public UDPServerDelegate {
public:
    explicit Echoer(UDPServer& server) : guard(server.localPort()), server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        if (guard.judge(server.sender()) != EchoGuard::Answer) return;
        const UDPServer::Error result = server.reply(data, size);
        if (result == UDPServer::NotRunning) ++refusedAtStop;
    }

    EchoGuard guard;
    // Replies refused because stop() came while their datagram was delivered.
    std::atomic<unsigned long long> refusedAtStop{0};

private:
    UDPServer& server;
};

}  // namespace

int runEcho(CommandLine& line) {
    ListeningPlace place = parseListeningOptions(line);
    const int workers = parseWorkers(line);
    const SendMarks marks = parseSendMarks(line);
    const bool withStats = line.flag("--stats");
    const SenderLimits limits = parseSenderLimits(line, true);
    const auto positional = line.finish();
    takePort(place, positional, "echo");

    auto server = openListening(place, workers);
    server->setMaxDatagramSize(65535);  // echoed whole
    applySendMarks(marks, *server);
    applySenderLimits(limits, *server, kEchoReplyLimit);
    Echoer echoer(*server);
    server->setDelegate(&echoer);
    catchInterrupts();
    server->start();
    std::fprintf(stderr, "echoing on UDP port %d; Ctrl-C to stop\n", server->localPort());
    {
        std::unique_ptr<StatsLine> stats;
        if (withStats) stats = std::make_unique<StatsLine>(*server);
        while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server->stop();
    const UDPServer::Counters c = server->counters();
    std::fprintf(stderr,
                 "received %s, replied %llu; not replied: %llu empty, %llu from the echo's own "
                 "port, %llu from ports of services that answer everything, %llu for a full "
                 "send queue, %llu refused by the system, %llu discarded at stop, %llu refused "
                 "at stop, %llu over the reply limit; %s; %s\n",
                 counted(c.received, "datagram").c_str(), static_cast<unsigned long long>(c.sent),
                 static_cast<unsigned long long>(c.rejectedEmpty),
                 echoer.guard.count(EchoGuard::FromOwnPort),
                 echoer.guard.count(EchoGuard::FromAnsweringService),
                 static_cast<unsigned long long>(c.sendsQueueFull),
                 static_cast<unsigned long long>(c.sendsFailed),
                 static_cast<unsigned long long>(c.sendsDiscarded), echoer.refusedAtStop.load(),
                 static_cast<unsigned long long>(c.repliesRateLimited), systemDrops(*server).c_str(),
                 describeRefusals(c).c_str());
    return 0;
}

}  // namespace dravik_app
