#pragma once

#include <dravik/UDPServerDelegate.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <asio/bind_allocator.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>

#include "udp/Admission.h"
#include "udp/ErrorLines.h"
#include "udp/LoopTimer.h"
#include "udp/NativeSocket.h"
#include "udp/PendingReplies.h"
#include "udp/ReceivePath.h"
#include "udp/SendPath.h"
#include "udp/ServerCounters.h"
#include "udp/SocketOpening.h"
#include "udp/WakeAllocator.h"

class RaisedWorkers;
class SenderGate;
class Unreachables;
class Worker;

// The longest a worker that waits in its socket's receive stays there before
// its event loop gets a turn: the most that a wake-up, a timer or a wait for
// room is late while datagrams keep coming, and that stop() waits for it.
constexpr std::chrono::milliseconds kLongestReceiveWait{1};

// The most workers a server has, and where it keeps them.
constexpr int kMaxWorkers = 256;
using Workers = std::array<std::unique_ptr<Worker>, kMaxWorkers>;

// What every worker of a server shares: whether it runs, its delegate, how
// it judges datagrams, its error lines, where it notes what it sends and the
// texts of its send lines, and where unreachable destinations are reported.
struct WorkerShared {
    const std::atomic<bool>& running;
    const std::atomic<UDPServerDelegate*>& delegate;
    const Admission& admission;
    ErrorLines& lines;
    RecentDestinations& recent;
    const SendTexts& texts;
    Unreachables& unreachables;
    SenderGate& gate;
    RaisedWorkers& raised;
    const std::string& receivedPrefix;  // "... Received message on port P: "
    const int localPort;
};

// One socket on the server's port with its own event loop, worker thread and
// receive batch: it waits for datagrams, takes a batch at a time, has each
// judged and delivers the accepted ones to the delegate; the replies made
// meanwhile are held until the batch is over, then leave by its own send
// path. While datagrams keep coming, a worker that can waits for the next in
// the socket's receive itself, rather than in its loop, and gives the loop a
// turn when asked to and at least every kLongestReceiveWait; once a wait there
// ends empty, it waits in the loop again. The event loop is declared
// after what its pending handlers point into, and before the socket, so the
// socket is closed first and the loop then discards those handlers.
class Worker {
public:
    // Opens a socket as `plan` says; throws as openBound() does. `index` is
    // its place among the server's workers.
    Worker(const WorkerShared& shared, const SocketPlan& plan, std::size_t index);
    ~Worker();

    ServerSocket& socket() { return boundSocket; }
    ServerSocket::native_handle_type nativeSocket() const { return native; }
    asio::io_context& loop() { return ioContext; }

    // Starts the thread that runs the loop; throws the thread library's
    // std::system_error if it cannot be created.
    void start();
    // While stopped: whether the next run takes nothing until release(),
    // and whether it reports to RaisedWorkers once it finds its socket
    // empty.
    void hold(bool untilReleased, bool reportsDrained);
    // Has a held worker begin taking datagrams (any thread, once).
    void release();
    // Stops the loop (any thread); its thread then returns.
    void stopLoop() {
        ioContext.stop();
        callLoop();
    }
    void join();
    bool runsOnThisThread() const;

    // While stopped: lays the batch out for datagrams up to `maxDatagram`
    // bytes, asking the system for trains above the default size.
    void setLayout(std::size_t maxDatagram);

    // Whether this worker delivers a datagram on the calling thread right now.
    bool deliversOnThisThread() const;
    // The datagram being delivered (the delivering thread only).
    const ReceiveBatch::Datagram& delivered() const { return receiving.delivered(); }
    // The names of the interfaces its datagrams arrive on (the delivering
    // thread only).
    InterfaceNameCache& interfaceNames() { return receiving.interfaceNames; }
    // What leaves through this worker's socket.
    SendPath& sending() { return *path; }
    const SendPath& sending() const { return *path; }
    // The replies made during this batch (the delivering thread only, or
    // while no worker runs).
    PendingReplies& heldReplies() { return replies; }
    // Room for the "Sending" lines of those replies, rebuilt in place.
    std::string& replyLineRoom() { return replyLine; }

    const ReceiveCounters& counters() const { return count; }
    // The same, for the delivering thread to count in.
    ReceiveCounters& ownCounters() { return count; }
    std::size_t index() const { return place; }
    // When the batch being delivered was taken up (the delivering thread).
    std::chrono::steady_clock::time_point batchTime() const { return batchStarted; }

    // Asks the system for its drop count now, where it can. Platform-specific.
    void askSystemDrops();

    // A send through this socket failed (any thread): the system may have
    // queued word of it that the next take reads.
    void noteSendFailed() { errorsMayWait.store(true, std::memory_order_relaxed); }
    // While no worker runs: reports what the system has queued of this
    // socket's destinations, so that a stop() loses none of it.
    void settleDestinationErrors();

    // Runs `handler` on this worker's loop, in the room kept for the one
    // wake-up posted at a time, so that posting it allocates nothing.
    template <typename Handler>
    void wake(Handler&& handler) {
        asio::post(ioContext, asio::bind_allocator(WakeAllocator<char>(wakeRoom),
                                                   std::forward<Handler>(handler)));
        callLoop();
    }
    // Runs `handler` on this worker's loop `delay` from now (any thread, one
    // such wake-up at a time): many things to do then cost one wake-up.
    template <typename Handler>
    void wakeAfter(std::chrono::microseconds delay, Handler&& handler) {
        wake([this, delay, handler = std::forward<Handler>(handler)]() mutable {
            laterTimer.expires_after(delay);
            laterTimer.async_wait(
                [handler = std::move(handler)](const std::error_code&) mutable { handler(); });
        });
    }
    // Runs `handler` on this worker's loop once the socket has room to send.
    template <typename Handler>
    void whenWritable(Handler&& handler) {
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            boundSocket.async_wait(asio::socket_base::wait_write, std::forward<Handler>(handler));
        }
        callLoop();
    }

    // Logs an exception that left a completion handler; never throws.
    void reportError(const char* what) noexcept;

private:
    // The thread's body. An exception that leaves a handler (from the
    // delegate or the logger) is logged, the reception it interrupted goes
    // on, and so does the loop; it returns only once the loop is stopped.
    void run();
    // Delivers what the batch holds, then takes or waits for the next one.
    void receive();
    void deliver(const ReceiveBatch::Datagram& datagram);
    // Arms the wait for the next datagrams; when they come, takes a batch
    // and delivers it. Platform-specific.
    void armWait();
    // Has the loop take its next batch in a handler of its own, after what
    // else it has to do, then deliver it.
    void takeInTurn();
    // Asks a worker that waits in its socket's receive to give the loop a
    // turn soon (any thread), once what the loop is to do is in place.
    void callLoop() { loopCalled.store(true, std::memory_order_release); }
    // Fills the batch's free areas with datagrams queued on the socket and
    // counts them; `waits` (only where waitsInReceive) first waits for one,
    // up to kLongestReceiveWait. Otherwise it does not block.
    // Platform-specific.
    void takeBatch(bool waits);
    // Clears the batch and takes a new one: what follows a wait.
    void takeAnew(bool waits);
    // After a batch: asks for the drop count if what was taken since the
    // last ask may have filled the receive buffer. Linux only.
    void noteBacklog(bool ranDry);
    // Counts a reading of the system's drop count and logs its growth.
    void countSystemDrops(std::uint32_t reading);
    // Reports a step's worth of what the system said about this socket's
    // destinations, where it says; afterwards errorsMayWait tells whether
    // more may wait. Platform-specific.
    void takeDestinationErrors();

    const WorkerShared& shared;
    const std::size_t place;
    ReceiveCounters count;
    std::chrono::steady_clock::time_point batchStarted;
    // Both outlive the event loop: a receive it abandons may still point
    // into the batch, and a wake-up it discards gives its room back.
    ReceivePath receiving;
    WakeRoom wakeRoom;
    std::unique_ptr<SendPath> path;
    asio::io_context ioContext{1};  // run by the worker alone
    ServerSocket boundSocket;
    const ServerSocket::native_handle_type native;
    const int receiveBufferBytes;  // as the system reports it
    // Whether the worker may wait in its socket's receive (see
    // enableWaitInReceive), and whether the loop has been called meanwhile.
    const bool waitsInReceive;
    std::atomic<bool> loopCalled{false};
    // When the loop last had a turn (the worker's thread).
    std::chrono::steady_clock::time_point lastTurn;
    // What wakeAfter() arms; the loop's thread only.
    LoopTimer laterTimer{ioContext.get_executor()};
    bool takesTrains = false;
    // Whether the socket's error queue may hold reports the worker has not
    // read: it then takes the next batch at once rather than wait.
    std::atomic<bool> errorsMayWait{false};
    // See hold(); `held` is cleared by the first of release() and a start
    // that finds the worker's generation released.
    std::atomic<bool> held{false};
    bool reportsDrained = false;  // the worker's thread, or while stopped
    bool tookThisRun = false;     // the same
    PendingReplies replies;
    std::string replyLine;
    // The thread while it delivers a datagram to the delegate, else none;
    // only the worker's thread writes it.
    std::atomic<std::thread::id> deliveringOn{};
    // Held only while an asynchronous operation is being started on the
    // socket, which asio does not allow from two threads at once. Never held
    // while logging.
    std::mutex socketMutex;
    // Changes only while the server starts, and is joined only while it
    // stops.
    std::unique_ptr<std::thread> thread;
};
