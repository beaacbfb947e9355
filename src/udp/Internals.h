#pragma once

#include <dravik/UDPServer.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/basic_waitable_timer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "udp/Addressing.h"
#include "udp/ErrorLineBudget.h"
#include "udp/NativeSocket.h"
#include "udp/ReceivePath.h"
#include "udp/Route.h"
#include "udp/SendPath.h"
#include "udp/ServerCounters.h"
#include "udp/WakeAllocator.h"

// The server's timer, on the event loop's own executor type like its socket.
using ServerTimer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                               asio::wait_traits<std::chrono::steady_clock>,
                                               asio::io_context::executor_type>;

// The server's private record. The event loop is declared before the socket,
// so the socket is closed first and the loop then discards pending handlers.
// Not part of the exported API, though it is nested in an exported class.
struct DRAVIK_NO_EXPORT UDPServer::Internals {
    // Receive-only mode, bound to the any-address or to `localAddress`.
    explicit Internals(int localPort);
    Internals(int localPort, const std::string& localAddress);
    // Peer mode.
    Internals(const std::string& remoteAddress, int remotePort, int localPort);

    const std::string remoteHost;
    const int remotePort;
    const int localPort;
    // Both outlive the event loop: a receive it abandons may still point
    // into the batch, and a wake-up it discards gives its room back.
    ReceivePath receiving;
    WakeRoom wakeRoom;
    asio::io_context ioContext{1};  // run by the worker alone
    ServerSocket socket;
    const int boundPort;  // localPort, or the port the system chose for 0
    const ServerSocket::native_handle_type nativeSocket;
    // The address given at construction (a group, the any-address, ...)
    // with the bound port: where datagrams arrive, as far as is known
    // without the system's word.
    const asio::ip::udp::endpoint localEndpoint;
    const asio::ip::udp::endpoint remoteEndpoint;
    const Route remoteRoute;
    const int receiveBufferBytes;  // as the system reports it
    // The largest datagram delivered whole (any thread reads it; set only
    // while stopped), and whether the socket takes trains.
    std::atomic<std::uint64_t> maxDatagram{ReceiveBatch::kDefaultDatagram};
    bool takesTrains = false;
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    // The worker while it delivers a datagram to the delegate, else no
    // thread; only the worker writes it.
    std::atomic<std::thread::id> deliveringOn{};
    std::unique_ptr<std::thread> thread;
    const bool receiveOnly;
    const bool groupMember;  // bound for a multicast group
    std::atomic<bool> running{false};

    // The lifecycle: start() and stop() move the server through these phases
    // under lifecycleMutex, which is held only to read or change the phase,
    // never while logging, joining or running a handler. `thread` changes
    // only in the Starting phase and is joined only in the Stopping phase.
    enum class Phase { Stopped, Starting, Running, Stopping };
    std::mutex lifecycleMutex;
    std::condition_variable lifecycleChanged;
    Phase phase = Phase::Stopped;

    // Held only while an asynchronous operation is being started on
    // `socket`, which asio does not allow from two threads at once. Never
    // held while logging.
    std::mutex socketMutex;

    SendPath sending;
    // How long stop() lets copies that wait for room leave before it
    // discards them.
    static constexpr std::chrono::milliseconds kStopDrain{200};

    ServerCounters counters;

    // Error lines that network input or overload trigger (any thread), and
    // the timer that reports what the budget held back (worker thread only,
    // and the stopping thread once the worker is joined).
    ErrorLineBudget errorBudget;
    ServerTimer heldLinesTimer;

    // Texts fixed at construction, used by the log lines.
    const std::string remoteText;
    const std::string receivedPrefix;
    const std::string sendingPrefix;  // "... Sending message on port P to "
    const std::string sendingLine;    // ... and the remote endpoint

    // Waits out a stop() in progress, then moves from `from` to `to`; false,
    // changing nothing, if the phase was not `from`.
    bool beginPhase(Phase from, Phase to);
    // Ends a phase that beginPhase() or claimStop() began.
    void endPhase(Phase to);
    // What a stop() has to do once it has cleared `running` and stopped the
    // loop: nothing more, join the worker (the phase is then Stopping), or
    // give up because it runs on the worker itself. Waits out a start() in
    // progress, and returns AlreadyStopped only after a racing stop() has
    // joined the worker.
    enum class StopClaim { AlreadyStopped, JoinWorker, OnWorker };
    StopClaim claimStop();

    // Arms the wait for the next datagrams; when they come, takes a batch
    // and hands it to server.receive(). Platform-specific.
    void armWait(UDPServer& server);
    // Fills the batch's free areas with datagrams already queued on the
    // socket, without blocking, and counts them. Platform-specific.
    void takeBatch();
    // Asks the system for its drop count now, where it can. Platform-specific.
    void askSystemDrops();
    // After a batch: asks for the drop count if what was taken since the
    // last ask may have filled the receive buffer. Linux only.
    void noteBacklog(bool ranDry);
    // Counts a reading of the system's drop count and logs its growth.
    void countSystemDrops(std::uint32_t reading);

    // Judges a received datagram: returns false for a receive error, a
    // foreign sender or an empty datagram, logging it within the error line
    // budget; otherwise accepts it for delivery and returns true.
    bool acceptReceived(const ReceiveBatch::Datagram& received);
    // Whether a datagram is for this server: for a group member, whether it
    // was sent to the group, where the system says.
    bool forThisServer(const ReceiveBatch::Datagram& received) const;
    // Whether the calling thread is delivering one of this server's
    // datagrams to the delegate right now.
    bool deliveringHere() const;
    // Whether the budget lets one more network or overload error line be
    // logged now (declare the result in the `if` that logs it); if not, it is
    // counted for the next report. Any thread.
    ErrorLineBudget::Line mayLogError();
    // Logs the drops counted so far, within the budget unless `flush`.
    void logDrops(bool flush);
    // Has the worker arm the report of what the budget holds (any thread).
    void scheduleReport();
    void armReport();
    // Logs the drops and the count of lines the budget held back: now if
    // `flush` (no worker runs), else within the budget.
    void reportHeldLines(bool flush);

    // Logs send()'s refusal of any send in this state, or returns Ok.
    Error refuseSending();
    // The same for sends to a destination of the caller's (sendTo, reply):
    // any mode may send, but not while stopped, nor to nowhere.
    Error refuseAddressed(bool sendable);
    // Sends one datagram along `route`, logging `sendingLine` first, as
    // send() does once it has not refused (any thread).
    Error sendAlong(const Route& route, const std::string& sendingLine, const char* data,
                    std::uint64_t size);
    // Sends what the batch send() and sendTo() accepted, as one send after
    // another would, until a datagram is refused; returns how many were
    // accepted and sets `refusal`.
    std::size_t sendBatch(const Outgoing* datagrams, std::size_t count, Error& refusal);
    // Accepts sends the system took at once: logs their "Sending" lines,
    // counts them and queues their outcomes (any thread).
    void acceptSent(const Outgoing* datagrams, const CompletedSends::Outcome* outcomes,
                    std::size_t count);
    // The "Sending" line of a datagram along `route`.
    const std::string& sendingLineFor(const Route& route, std::string& room) const;
    // Queues a copy of a send that must wait for room, or refuses it with
    // SendQueueFull when the copies fill their bound (any thread).
    Error queueCopy(const char* data, std::uint64_t size, const Route& route);
    // Logs SendQueueFull's line within the budget and counts it.
    Error refuseQueueFull();
    // Holds a copy of a reply until the batch of deliveries is over.
    Error holdReply(const char* data, std::uint64_t size);
    // Sends the replies held so far, in order (worker thread, or while no
    // worker runs); those the socket has no room for wait as copies.
    void sendReplies();
    // Queues the outcomes of sends taken at once, waking the worker to log
    // them when the queue was empty (any thread).
    void queueSent(const CompletedSends::Outcome* outcomes, std::size_t count);
    // Arms a wait for room in the send buffer (any thread), after which the
    // worker sends what waits.
    void waitForRoom();
    void sendWaiting();
    // Logs every queued outcome (worker thread, or while no worker runs).
    void logQueuedSends();
    // While no worker runs: sends the replies a batch cut short held, logs
    // the outcomes, asks for the drop count, discards what still waits to be
    // sent and counts it in one line. Error lines held back are logged if
    // the budget allows, or, when this is the `last` settling (destruction),
    // whatever it says. Every step runs even if the logger throws; the first
    // exception goes on.
    void settleWithoutWorker(bool last);
    // Discards what waits to be sent, counting it in one line.
    void discardWaiting();
    // Logs the outcome of a send (worker thread).
    void reportSent(const CompletedSends::Outcome& outcome);

    // Logs an exception that left a completion handler; never throws.
    void reportWorkerError(const char* what) noexcept;

private:
    Internals(std::string remoteHost, int remotePort, int localPort,
              const ParsedAddress& remote, bool receiveOnly);
    Internals(std::string remoteHost, int remotePort, int localPort,
              const asio::ip::udp::endpoint& local, const ParsedAddress& remote,
              bool receiveOnly);
};
