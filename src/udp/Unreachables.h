#pragma once

#include <dravik/UDPServer.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "udp/DestinationError.h"
#include "udp/ErrorLines.h"
#include "udp/ServerCounters.h"

// The server's unreachable destinations, whichever worker heard of them:
// each is counted by reason, logged within the error line budget and handed
// to the application's listener. Any worker, at once.
class Unreachables {
public:
    Unreachables(ErrorLines& lines, int localPort);

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
    const std::string portText;
    std::atomic<UDPServer::UnreachableListener*> current{nullptr};
    SharedCount port;
    SharedCount host;
    SharedCount tooBig;
    SharedCount other;
};
