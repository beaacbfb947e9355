#include "udp/ErrorLines.h"

#include <string>

#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"

ErrorLines::ErrorLines(asio::io_context& reportLoop, int localPort, int receiveBufferBytes)
    : reportLoop(reportLoop),
      localPort(localPort),
      receiveBufferBytes(receiveBufferBytes),
      timer(reportLoop.get_executor()) {}

// While the budget holds lines, a held-back rejection costs a comparison and
// an increment.
ErrorLineBudget::Line ErrorLines::mayLog() {
    ErrorLineBudget::Line line = budget.admitNow();
    if (!line && budget.holdBack()) scheduleReport();
    return line;
}

void ErrorLines::addDrops(std::uint64_t dropped) {
    dropsToLog.fetch_add(dropped, std::memory_order_relaxed);
    logDrops(false);
}

// Drops the budget holds back are not lost: they join the next drop line.
void ErrorLines::logDrops(bool flush) {
    if (dropsToLog.load(std::memory_order_relaxed) == 0) return;
    const ErrorLineBudget::Line line = flush ? ErrorLineBudget::Line() : budget.admitNow();
    if (!flush && !line) {
        if (budget.defer()) scheduleReport();
        return;
    }
    const std::uint64_t dropped = dropsToLog.exchange(0, std::memory_order_relaxed);
    if (dropped == 0) return;  // another thread logged them meanwhile
    velmora::Logger::error("[UDPServer] " + std::to_string(dropped) +
                           " datagrams dropped by the system on port " + std::to_string(localPort) +
                           ": receive buffer of " + std::to_string(receiveBufferBytes) +
                           " bytes full" +
                           (systemFilters.load(std::memory_order_relaxed)
                                ? ", or refused by the sender policy in the system"
                                : ""));
}

// The timer belongs to the report loop; other threads hand it the arming.
void ErrorLines::scheduleReport() {
    asio::post(reportLoop, [this] { armReport(); });
}

void ErrorLines::armReport() {
    timer.expires_at(budget.reportTime());
    timer.async_wait([this](const std::error_code& error) {
        if (error) return;  // cancelled by the last settling, which reports itself
        // Lines logged since the timer was armed may have moved the time on.
        if (ErrorLineBudget::Clock::now() < budget.reportTime()) {
            armReport();
            return;
        }
        reportHeld(false);
    });
}

void ErrorLines::reportHeld(bool flush) {
    const std::uint64_t held = budget.takeHeld(ErrorLineBudget::Clock::now());
    FirstFailure failure;
    failure.run([&] { logDrops(flush); });
    if (held != 0) {
        failure.run([&] {
            velmora::Logger::error("[UDPServer] Suppressed " + std::to_string(held) +
                                   " similar error lines on port " + std::to_string(localPort));
            budget.reported(ErrorLineBudget::Clock::now());
        });
    }
    failure.rethrow();
}

// The budget spans runs: what a stop() finds is logged within the budget, and
// the rest is left to the report that the next run's loop makes (its timer,
// or the report posted to it, waits there), or to destruction.
void ErrorLines::settle(bool last) {
    if (last) {
        timer.cancel();
        reportHeld(true);
    } else if (budget.holding() && ErrorLineBudget::Clock::now() >= budget.reportTime()) {
        reportHeld(false);
    }
}
