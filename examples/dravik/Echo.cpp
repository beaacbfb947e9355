#include <chrono>
#include <cstdio>
#include <thread>

#include <dravik/UDPServer.h>

#include "Commands.h"
#include "Interrupt.h"
#include "OpenServer.h"

namespace dravik_app {
namespace {

// Sends every datagram back to its sender, from the address it came to.
class Echoer : public UDPServerDelegate {
public:
    explicit Echoer(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        server.reply(data, size);
    }

private:
    UDPServer& server;
};

}  // namespace

int runEcho(CommandLine& line) {
    const std::string address = line.value("--bind", "0.0.0.0");
    const auto positional = line.finish();
    if (positional.size() != 1) throw UsageError("echo takes exactly one PORT");
    const int port = parsePort(positional[0], "PORT");

    auto server = openReceiveOnly(port, address);
    server->setMaxDatagramSize(65535);  // echoed whole
    Echoer echoer(*server);
    server->setDelegate(&echoer);
    catchInterrupts();
    server->start();
    std::fprintf(stderr, "echoing on UDP port %d; Ctrl-C to stop\n", server->localPort());
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server->stop();
    const UDPServer::Counters c = server->counters();
    std::fprintf(stderr,
                 "received %s, replied %llu; not replied: %llu empty, %llu for a full send queue, "
                 "%llu refused by the system, %llu discarded at stop; dropped by the system %llu\n",
                 counted(c.received, "datagram").c_str(), static_cast<unsigned long long>(c.sent),
                 static_cast<unsigned long long>(c.rejectedEmpty),
                 static_cast<unsigned long long>(c.sendsQueueFull),
                 static_cast<unsigned long long>(c.sendsFailed),
                 static_cast<unsigned long long>(c.sendsDiscarded),
                 static_cast<unsigned long long>(c.droppedBySystem));
    return 0;
}

}  // namespace dravik_app
