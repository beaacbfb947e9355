#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include <asio/io_context.hpp>

#include "udp/ErrorLineBudget.h"
#include "udp/LoopTimer.h"

// The error lines that network input or overload trigger, on any worker or
// application thread: held to one budget per server, with the report of what
// it held back made by a timer on one worker's event loop (`reportLoop`).
// The drops the system reports join one line, whichever worker read them.
class ErrorLines {
public:
    ErrorLines(asio::io_context& reportLoop, int localPort, int receiveBufferBytes);

    // Whether the budget lets one more line be logged now (declare the
    // result in the `if` that logs it); if not, it is counted for the next
    // report. Any thread.
    ErrorLineBudget::Line mayLog();
    // Counts datagrams the system dropped and logs them within the budget.
    // Any thread.
    void addDrops(std::uint64_t dropped);
    // Whether the system's filter judges senders too: it counts what it
    // refuses among the drops, which the drop line then says. Any thread.
    void noteSystemFilters(bool on) { systemFilters.store(on, std::memory_order_relaxed); }
    // While no worker runs: logs the drops and the held lines whose report is
    // due, within the budget; or, when this is the `last` report
    // (destruction), whatever the budget says.
    void settle(bool last);

private:
    void logDrops(bool flush);
    void scheduleReport();
    void armReport();
    // Logs the drops and the count of lines the budget held back: now if
    // `flush`, else within the budget.
    void reportHeld(bool flush);

    asio::io_context& reportLoop;
    const int localPort;
    const int receiveBufferBytes;
    ErrorLineBudget budget;
    std::atomic<std::uint64_t> dropsToLog{0};
    std::atomic<bool> systemFilters{false};
    LoopTimer timer;  // the report loop's thread only, or while no worker runs
};
