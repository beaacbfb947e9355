#pragma once

#include <dravik/UDPServer.h>

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

// The server's send side, one for all its workers. Sends go out at once on
// the calling thread where the socket has room; otherwise a copy waits, up
// to a bound, and the home worker (the first) sends it once there is room.
// Their outcomes travel to the home worker, which logs them in completion
// order. Replies are held by the worker that delivers their request, and
// leave through its socket when its batch is over.
class Sender {
public:
    using Error = UDPServer::Error;

    // `remote` is the peer, unused in receive-only mode. Every destination
    // is noted in `recent` before the system sends to it.
    Sender(Worker& home, ErrorLines& lines, RecentDestinations& recent,
           const asio::ip::udp::endpoint& remote, int localPort);

    const Route& remoteRoute() const { return toRemote; }
    const std::string& remoteSendingLine() const { return sendingLine; }
    // Room for the "Sending" lines of sends to destinations of the caller's:
    // the calling thread's own.
    static std::string& lineRoom();
    // The "Sending" line of a datagram along `route`, built in `room` unless
    // it goes to the remote endpoint.
    const std::string& sendingLineFor(const Route& route, std::string& room) const;

    // Sends one datagram along `route`, logging `sendingLine` first (any
    // thread).
    Error sendAlong(const Route& route, const std::string& sendingLine, const char* data,
                    std::uint64_t size);
    // Sends what the batch send() and sendTo() accepted, as one send after
    // another would, until a datagram is refused; returns how many were
    // accepted and sets `refusal`.
    std::size_t sendBatch(const Outgoing* datagrams, std::size_t count, Error& refusal);

    // Holds a copy of a reply to the datagram `worker` is delivering until
    // its batch of deliveries is over; `trafficClass` as Route has it.
    Error holdReply(Worker& worker, const char* data, std::uint64_t size, int trafficClass);
    // Sends the replies `worker` holds, in order, through its socket (its
    // thread, or while no worker runs); those the socket has no room for
    // wait as copies.
    void sendReplies(Worker& worker);

    // While no worker runs: logs the outcomes still queued.
    void logQueuedSends();
    // Discards what waits to be sent, counting it in one line.
    void discardWaiting();
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
    // Logs UDPServer::SendQueueFull's line within the budget and counts it.
    Error refuseQueueFull();
    // Queues the outcomes of sends taken at once `through` a worker's
    // socket, waking the home worker to log them when the queue was empty
    // (any thread). A failure has `through` read what the system may have
    // said of it.
    void queueSent(const CompletedSends::Outcome* outcomes, std::size_t count, Worker& through);
    // Arms a wait for room in the send buffer (any thread), after which the
    // home worker sends what waits.
    void waitForRoom();
    void sendWaiting();
    // Logs the outcome of a send (home worker).
    void reportSent(const CompletedSends::Outcome& outcome);

    Worker& home;
    ErrorLines& lines;
    RecentDestinations& recent;
    const asio::ip::udp::endpoint remote;
    const Route toRemote;
    const int localPort;
    // Texts fixed at construction, used by the log lines.
    const std::string remoteText;
    const std::string sendingPrefix;  // "... Sending message on port P to "
    const std::string sendingLine;    // ... and the remote endpoint

    SendCounters counts;
    CompletedSends completed;                    // any thread
    WaitingSends copies;                         // any thread
    SegmentationOffload segmentation;            // any thread
    std::vector<CompletedSends::Outcome> toLog;  // home worker only
    std::string sentLine;  // rebuilt in place, keeping its capacity; home worker only
};
