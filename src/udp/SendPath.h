#pragma once

#include <dravik/UDPServer.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <asio/ip/udp.hpp>

#include "udp/BatchSend.h"
#include "udp/CompletedSends.h"
#include "udp/ErrorLines.h"
#include "udp/RecentDestinations.h"
#include "udp/Route.h"
#include "udp/ServerCounters.h"
#include "udp/WaitingSends.h"

class Worker;

// What every send path's lines say of the server, fixed at construction.
struct SendTexts {
    // `remote` is the peer, unused in receive-only mode.
    SendTexts(const asio::ip::udp::endpoint& remote, int localPort);

    // The "Sending" line of a datagram along `route`, built in `room` unless
    // it goes to the remote endpoint.
    const std::string& sendingLineFor(const Route& route, std::string& room) const;

    const asio::ip::udp::endpoint remote;
    const Route toRemote;
    const int localPort;
    const std::string remoteText;
    const std::string sendingPrefix;  // "... Sending message on port P to "
    const std::string sendingLine;    // ... and the remote endpoint
};

// One worker's send side: what leaves through its socket, the copies that
// wait there for room (bounded by max(256 KiB, the socket's send buffer)),
// the outcomes, which its worker logs in completion order, and their
// counts. A worker's replies, and the copies that wait, are sent and logged
// on its own thread; application threads send at once on theirs and hand
// the outcomes over, which the worker logs in one wake-up at most every
// 100 microseconds (or sooner, with what it sends itself).
// Nothing here is shared with another worker.
class SendPath {
public:
    using Error = UDPServer::Error;

    SendPath(Worker& worker, ErrorLines& lines, RecentDestinations& recent,
             const SendTexts& texts);

    // Sends one datagram along `route`, logging `sendingLine` first (any
    // thread).
    Error sendAlong(const Route& route, const std::string& sendingLine, const char* data,
                    std::uint64_t size);
    // Sends what the batch send() and sendTo() accepted, as one send after
    // another would, until a datagram is refused; returns how many were
    // accepted and sets `refusal` (any thread).
    std::size_t sendBatch(const Outgoing* datagrams, std::size_t count, Error& refusal);

    // Holds a copy of a reply to the datagram the worker is delivering until
    // its batch of deliveries is over (the worker's thread).
    Error holdReply(const char* data, std::uint64_t size, int trafficClass);
    // Sends the replies the worker holds, in order (its thread, or while no
    // worker runs); those the socket has no room for wait as copies.
    void sendReplies();

    // Logs the outcomes queued so far (the worker's thread, or while no
    // worker runs).
    void logQueuedSends();
    // Discards what waits to be sent and counts it; returns how many.
    std::uint64_t discardWaiting();
    // Gives copies that wait for room until `deadline` to leave.
    void drainWaiting(std::chrono::steady_clock::time_point deadline) {
        copies.waitUntilEmpty(deadline);
    }

    const SendCounters& counters() const { return counts; }
    std::uint64_t waitingDatagrams() const { return copies.waitingDatagrams(); }
    std::uint64_t waitingBytes() const { return copies.waitingBytes(); }

private:
    // Accepts sends the system took at once: logs their "Sending" lines,
    // counts them and queues their outcomes (any thread).
    void acceptSent(const Outgoing* datagrams, const CompletedSends::Outcome* outcomes,
                    std::size_t count);
    // Queues a copy of a send that must wait for room, or refuses it with
    // UDPServer::SendQueueFull when the copies fill their bound (any thread).
    Error queueCopy(const char* data, std::uint64_t size, const Route& route);
    Error refuseQueueFull();
    // Counts and queues outcomes: the worker's own thread logs them once it
    // has sent what it sends; another has the worker log them shortly, unless
    // that is arranged already. A failure has the worker read what the system may
    // have said of it.
    void queueSent(const CompletedSends::Outcome* outcomes, std::size_t count, bool onWorker);
    // Arms a wait for room in the send buffer (any thread), after which the
    // worker sends what waits.
    void waitForRoom();
    void sendWaiting();
    void reportSent(const CompletedSends::Outcome& outcome);

    Worker& worker;
    ErrorLines& lines;
    RecentDestinations& recent;
    const SendTexts& texts;

    SendCounters counts;
    CompletedSends completed;                    // any thread
    std::atomic<bool> logScheduled{false};       // whether the worker will log them
    // When the worker last logged them so (steady clock ticks).
    std::atomic<std::chrono::steady_clock::rep> lastScheduledLog{0};
    WaitingSends copies;                         // any thread
    SegmentationOffload segmentation;            // any thread
    std::vector<CompletedSends::Outcome> toLog;  // the worker only
    std::string sentLine;  // rebuilt in place, keeping its capacity; the worker only
};
