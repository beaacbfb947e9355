#pragma once

#include <atomic>

#include <dravik/UDPServer.h>

namespace dravik_app {

// Which datagrams an echo service leaves unanswered, so that it does not feed
// a loop: those sent from the echo's own port (from any address: its own
// answer come back through a forged source on any of this host's addresses,
// or another echo service on the same port), and those from the well-known
// ports of services that answer everything (echo 7, discard 9, daytime 13,
// quote 17, chargen 19, time 37), which would answer the answer. Two echo
// services on other ports can still loop, as with any echo service. Counts
// what it refuses; any number of threads at once.
class EchoGuard {
public:
    enum Verdict { Answer, FromOwnPort, FromAnsweringService };

    explicit EchoGuard(int ownPort) : ownPort(ownPort) {}
    Verdict judge(const UDPServer::Endpoint& sender);
    unsigned long long count(Verdict verdict) const { return refused[verdict].load(); }

private:
    const int ownPort;
    std::atomic<unsigned long long> refused[3] = {};
};

}  // namespace dravik_app
