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
#include "udp/BatchSend.h"
#include "udp/CompletedSends.h"
#include "udp/ErrorLineBudget.h"
#include "udp/NativeSocket.h"
#include "udp/ReceiveBatch.h"
#include "udp/ServerCounters.h"
#include "udp/SystemDropCount.h"
#include "udp/WaitingSends.h"
#include "udp/WakeAllocator.h"

// The server's timer, on the event loop's own executor type like its socket.
using ServerTimer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                               asio::wait_traits<std::chrono::steady_clock>,
                                               asio::io_context::executor_type>;

// The server's private record. The event loop is declared before the socket,
// so the socket is closed first and the loop then discards pending handlers.
// Not part of the exported API, though it is nested in an exported class.
struct DRAVIK_NO_EXPORT UDPServer::Internals {
    static constexpr std::size_t kBufferSize = ReceiveBatch::kSlotSize;

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
    ReceiveBatch batch;  // worker thread only
    WakeRoom wakeRoom;
    asio::io_context ioContext{1};  // run by the worker alone
    ServerSocket socket;
    const int boundPort;  // localPort, or the port the system chose for 0
    const ServerSocket::native_handle_type nativeSocket;
    const asio::ip::udp::endpoint remoteEndpoint;
    const int receiveBufferBytes;  // as the system reports it
    std::array<char, kBufferSize> messageBuffer;  // worker thread only
    std::uint64_t messageSize = 0;  // worker thread only
    std::atomic<UDPServerDelegate*> delegate{nullptr};
    std::unique_ptr<std::thread> thread;
    const bool receiveOnly;
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
    // Whether a wait or a posted take is outstanding, so that exactly one
    // is; worker thread only (successive workers are ordered by join and
    // thread start).
    bool receivePending = false;

    // Sends that the system took at once, waiting to be logged.
    CompletedSends completedSends;
    std::vector<CompletedSends::Outcome> sendsToLog;  // worker thread only
    // Sends that wait for room in the socket's send buffer.
    WaitingSends waitingSends;
    // Whether batches may go as segmented sends.
    SegmentationOffload segmentation;
    // How long stop() lets them leave before it discards them.
    static constexpr std::chrono::milliseconds kStopDrain{200};

    ServerCounters counters;

    // Drops the system reports on the receive side. Worker thread only, and
    // a thread that runs while no worker does.
    SystemDropCount systemDrops;
    std::uint64_t dropsToLog = 0;  // counted, not yet logged
    std::size_t backlogBytes = 0;        // taken since the count was last asked for
    bool dropsRideOnDatagrams = false;  // the system adds its count to each datagram

    // Error lines that network input or overload trigger (any thread), and
    // the timer that reports what the budget held back (worker thread only,
    // and the stopping thread once the worker is joined).
    ErrorLineBudget errorBudget;
    ServerTimer heldLinesTimer;

    // Texts fixed at construction, used by the log lines.
    const std::string remoteText;
    const std::string receivedPrefix;
    const std::string sendingLine;
    // Lines rebuilt in place for every datagram so they keep their capacity;
    // worker thread only.
    std::string receivedLine;
    std::string sentLine;

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
    // Fills the batch's free slots with datagrams already queued on the
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
    // budget; otherwise copies it into messageBuffer and returns true.
    bool acceptReceived(const ReceiveBatch::Slot& received);
    // Whether the budget lets one more network or overload error line be
    // logged now; if not, it is counted for the next report. Any thread.
    bool mayLogError();
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
    // Accepts sends the system took at once: logs their "Sending" lines,
    // counts them and queues their outcomes (any thread).
    void acceptSent(const CompletedSends::Outcome* outcomes, std::size_t count);
    // Queues a copy of a send that must wait for room, or refuses it with
    // SendQueueFull when the copies fill their bound (any thread).
    Error queueCopy(const char* data, std::uint64_t size);
    // Queues the outcomes of sends taken at once, waking the worker to log
    // them when the queue was empty (any thread).
    void queueSent(const CompletedSends::Outcome* outcomes, std::size_t count);
    // Arms a wait for room in the send buffer (any thread), after which the
    // worker sends what waits.
    void waitForRoom();
    void sendWaiting();
    // Logs every queued outcome (worker thread, or while no worker runs).
    void logQueuedSends();
    // While no worker runs: logs the outcomes and the lines held back,
    // discards what still waits to be sent, and counts it in one line.
    // Every step runs even if the logger throws; the first exception goes on.
    void settleWithoutWorker();
    // Discards what waits to be sent, counting it in one line.
    void discardWaiting();
    // Logs the outcome of a send (worker thread).
    void reportSent(const std::error_code& error, std::size_t size);

    // Logs an exception that left a completion handler; never throws.
    void reportWorkerError(const char* what) noexcept;

private:
    Internals(std::string remoteHost, int remotePort, int localPort,
              const ParsedAddress& remote, bool receiveOnly);
    Internals(std::string remoteHost, int remotePort, int localPort,
              const asio::ip::udp::endpoint& local, const ParsedAddress& remote,
              bool receiveOnly);
};
