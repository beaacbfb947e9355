#pragma once

#include <dravik/UDPServer.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "udp/BatchSend.h"
#include "udp/Route.h"
#include "udp/SendPath.h"
#include "udp/ServerCounters.h"
#include "udp/Worker.h"

// The server's send side: which worker's send path each send takes, and
// the sums over them. A worker's replies, and whatever a delegate sends
// while that worker delivers, take the worker's own path; every other thread
// sends through one worker's path of its own, chosen the first time it sends
// (so each thread's datagrams keep their order), and the threads spread over
// the workers.
class Sender {
public:
    using Error = UDPServer::Error;

    Sender(const Workers& workers, const std::atomic<int>& workerCount, const SendTexts& texts);

    const Route& remoteRoute() const { return texts.toRemote; }
    const std::string& remoteSendingLine() const { return texts.sendingLine; }
    // Room for the "Sending" lines of sends to destinations of the caller's:
    // the calling thread's own.
    static std::string& lineRoom();
    const std::string& sendingLineFor(const Route& route, std::string& room) const {
        return texts.sendingLineFor(route, room);
    }

    // As SendPath's, through the calling thread's path (any thread).
    Error sendAlong(const Route& route, const std::string& sendingLine, const char* data,
                    std::uint64_t size) {
        return pathHere().sendAlong(route, sendingLine, data, size);
    }
    std::size_t sendBatch(const Outgoing* datagrams, std::size_t count, Error& refusal) {
        return pathHere().sendBatch(datagrams, count, refusal);
    }

    // While no worker runs: logs every worker's queued outcomes.
    void logQueuedSends();
    // Discards what waits to be sent on every worker, counting it in one
    // line.
    void discardWaiting();
    // Gives copies that wait for room until `deadline` to leave.
    void drainWaiting(std::chrono::steady_clock::time_point deadline);

    // The sums over the workers.
    void addTo(UDPServer::Counters& counters) const;

private:
    SendPath& pathHere();

    const Workers& workers;
    const std::atomic<int>& workerCount;
    const SendTexts& texts;
};
