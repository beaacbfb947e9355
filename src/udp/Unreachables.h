#pragma once

#include <dravik/UDPServer.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "udp/DestinationError.h"
#include "udp/ErrorLines.h"
#include "udp/RecentDestinations.h"
#include "udp/ServerCounters.h"

// The server's unreachable destinations, whichever worker heard of them:
// each is counted by reason, logged within the error line budget and handed
// to the application's listener. A report from the network about a
// destination the server has not sent to lately (`recent`) is not believed:
// it is only counted as unsolicited, so that no one who can reach the port
// fills the counters, the budget or the listener with claims. Of a datagram
// this host itself refused as too big, the send's own error line is the one
// line. Any worker, at once.
class Unreachables {
public:
    Unreachables(ErrorLines& lines, const RecentDestinations& recent, int localPort);

    void report(const DestinationError& unreachable);

    void setListener(UDPServer::UnreachableListener* listener) {
        current.store(listener, std::memory_order_release);
    }
    UDPServer::UnreachableListener* listener() const {
        return current.load(std::memory_order_acquire);
    }

    // Adds the counts to `counters`' unreachable fields.
    void addTo(UDPServer::Counters& counters) const;

private:
    ErrorLines& lines;
    const RecentDestinations& recent;
    const std::string portText;
    std::atomic<UDPServer::UnreachableListener*> current{nullptr};
    SharedCount port;
    SharedCount host;
    SharedCount tooBig;
    SharedCount other;
    SharedCount unsolicited;
};
