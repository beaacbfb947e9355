#pragma once

#include <dravik/UDPServer.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/ip/udp.hpp>

#include "udp/Addressing.h"
#include "udp/Admission.h"
#include "udp/ErrorLines.h"
#include "udp/RaisedWorkers.h"
#include "udp/RecentDestinations.h"
#include "udp/SenderGate.h"
#include "udp/Sender.h"
#include "udp/SocketOptions.h"
#include "udp/Unreachables.h"
#include "udp/Worker.h"

// The server's private record: it composes the parts and coordinates them.
// Each worker (Worker) owns a socket on the port, an event loop, a thread and
// a receive batch and a send path, and delivers what it takes and sends
// its replies; Admission judges datagrams, with the SenderGate's policy and
// limits; Sender chooses the send path of each send and sums them, and the
// paths note where they send in RecentDestinations, by which
// Unreachables judges what the network reports; ErrorLines holds the error
// lines to their budget. The record keeps the lifecycle, the delegate and
// the sum of the counters. Not part of the exported API, though it is nested
// in an exported class.
struct DRAVIK_NO_EXPORT UDPServer::Internals {
    // Receive-only mode, bound to the any-address or to `localAddress`.
    explicit Internals(int localPort);
    Internals(int localPort, const std::string& localAddress);
    // Peer mode.
    Internals(const std::string& remoteAddress, int remotePort, int localPort);
    // A socket opened elsewhere, in receive-only mode or in peer mode.
    explicit Internals(std::uintptr_t socket);
    Internals(std::uintptr_t socket, const std::string& remoteAddress, int remotePort);

    const int localPort;
    const bool receiveOnly;
    std::atomic<bool> running{false};
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    const std::string receivedPrefix;
    // What the workers share; the parts it names are constructed below.
    const WorkerShared shared;

    // The workers: the first (the home worker, which also runs the send
    // side's waits and the error lines' report) from construction on; more
    // are added while stopped, never removed, so any thread may read the
    // first `workerCount` without a lock.
    Workers workers;
    std::atomic<int> workerCount{1};
    // Holds the workers a raise adds until the older ones gave up what
    // they held.
    RaisedWorkers raised{workers};
    Worker& home() { return *workers[0]; }

    const int boundPort;  // localPort, or the port the system chose for 0
    // How the workers' sockets are opened, the bound port filled in. The
    // address is the one given at construction (a group, the any-address,
    // ...): where datagrams arrive, as far as is known without the system's
    // word.
    const SocketPlan socketPlan;
    // Whether the first socket was adopted, and whether in a SO_REUSEPORT
    // group (which the server then neither joins it to nor takes it out of).
    const bool adopted;
    const bool adoptedInGroup;
    const asio::ip::udp::endpoint& localEndpoint = socketPlan.local;
    const asio::ip::udp::endpoint remoteEndpoint;
    const Admission admission;
    ErrorLines lines;
    SenderGate gate;
    RecentDestinations recent;
    const SendTexts texts;
    Sender sender;
    Unreachables unreachables;
    // A group member's sources (empty: any source); changed only while
    // stopped, under lifecycleMutex.
    std::vector<asio::ip::address> groupSources;
    // What every worker's socket is asked beyond its plan; changed only
    // while stopped, under lifecycleMutex.
    SocketOptions options;
    // The largest datagram delivered whole (any thread reads it; set only
    // while stopped).
    std::atomic<std::uint64_t> maxDatagram{ReceiveBatch::kDefaultDatagram};

    // The lifecycle: start() and stop() move the server through these phases
    // under lifecycleMutex, which is held only to read or change the phase,
    // never while logging, joining or running a handler. The workers' threads
    // change only in the Starting phase and are joined only in the Stopping
    // phase; workers are added only in the Stopped phase.
    enum class Phase { Stopped, Starting, Running, Stopping };
    std::mutex lifecycleMutex;
    std::condition_variable lifecycleChanged;
    Phase phase = Phase::Stopped;
    // How long stop() lets copies that wait for room leave before it
    // discards them.
    static constexpr std::chrono::milliseconds kStopDrain{200};

    // Holds the lifecycle mutex for a setting that changes only while the
    // server is stopped; throws std::system_error with operation_in_progress,
    // naming `what`, in any other phase.
    std::unique_lock<std::mutex> lockWhileStopped(const char* what);
    // Waits out a stop() in progress, then moves from `from` to `to`; false,
    // changing nothing, if the phase was not `from`.
    bool beginPhase(Phase from, Phase to);
    // Ends a phase that beginPhase() or claimStop() began.
    void endPhase(Phase to);
    // What a stop() has to do once it has cleared `running`: nothing more,
    // join the workers (the phase is then Stopping), or give up because it
    // runs on a worker (whose loops it then stops). Waits out a start() in
    // progress, and returns AlreadyStopped only after a racing stop() has
    // joined the workers.
    enum class StopClaim { AlreadyStopped, JoinWorker, OnWorker };
    StopClaim claimStop();
    // Starts every worker's thread; if one cannot be created, stops and joins
    // those started and throws.
    void startWorkers();
    void stopWorkers();
    // Adds workers up to `count`, each with a socket in the port group; with
    // the lifecycle mutex held, while stopped.
    void addWorkers(int count);
    // While stopped: changes the socket options of every worker as `change`
    // does to `options`, or none, throwing what the system refused.
    template <typename Change>
    void changeOptions(const char* what, Change change);
    // Every worker's native socket.
    std::vector<ServerSocket::native_handle_type> nativeSockets() const;
    // While no worker runs: sends the replies a batch cut short held, logs
    // the outcomes, asks for the drop counts, reports what the system said of
    // the destinations (unless this is the `last` settling, at destruction),
    // reports what the error lines hold (see ErrorLines::settle) and discards
    // what still waits to be sent, counting it in one line. Every step runs
    // even if the logger throws; the first exception goes on.
    void settleWithoutWorker(bool last);

    // The worker of this server that delivers a datagram on the calling
    // thread right now, or null.
    Worker* deliveringHere() const;
    // Before a send from inside a delivery: the replies held so far leave
    // first, so the calling worker's datagrams keep their order.
    void sendHeldRepliesFirst();
    // Logs send()'s refusal of any send in this state, or returns Ok.
    Error refuseSending();
    // The same for sends to a destination of the caller's (sendTo, reply):
    // any mode may send, but not while stopped, nor to nowhere.
    Error refuseAddressed(bool sendable);

    ~Internals();

private:
    Internals(int remotePort, int localPort, const ParsedAddress& remote);
    Internals(int localPort, const asio::ip::udp::endpoint& local, int remotePort,
              const ParsedAddress& remote, bool receiveOnly);
    Internals(const SocketPlan& adopted, int remotePort, const ParsedAddress& remote,
              bool receiveOnly);
    Internals(int localPort, const SocketPlan& first, int remotePort,
              const ParsedAddress& remote, bool receiveOnly);
};
