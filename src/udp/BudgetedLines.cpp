// The error lines that network input or overload trigger, held to the error
// line budget, and the reports of what it held back.
#include <asio/post.hpp>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"

// While the budget holds lines, a held-back rejection costs a comparison and
// an increment.
ErrorLineBudget::Line UDPServer::Internals::mayLogError() {
    ErrorLineBudget::Line line = errorBudget.admitNow();
    if (!line && errorBudget.holdBack()) scheduleReport();
    return line;
}

void UDPServer::Internals::countSystemDrops(std::uint32_t reading) {
    const std::uint32_t growth = receiving.systemDrops.advance(reading);
    if (growth == 0) return;
    counters.droppedBySystem.add(growth);
    receiving.dropsToLog += growth;
    logDrops(false);
}

// Drops the budget holds back are not lost: they join the next drop line.
void UDPServer::Internals::logDrops(bool flush) {
    if (receiving.dropsToLog == 0) return;
    const ErrorLineBudget::Line line = flush ? ErrorLineBudget::Line() : errorBudget.admitNow();
    if (!flush && !line) {
        if (errorBudget.defer()) scheduleReport();
        return;
    }
    const std::uint64_t dropped = receiving.dropsToLog;
    receiving.dropsToLog = 0;
    velmora::Logger::error("[UDPServer] " + std::to_string(dropped) +
                           " datagrams dropped by the system on port " + std::to_string(localPort) +
                           ": receive buffer of " + std::to_string(receiveBufferBytes) +
                           " bytes full");
}

// The timer belongs to the worker; other threads hand it the arming.
void UDPServer::Internals::scheduleReport() {
    asio::post(ioContext, [this] { armReport(); });
}

void UDPServer::Internals::armReport() {
    heldLinesTimer.expires_at(errorBudget.reportTime());
    heldLinesTimer.async_wait([this](const std::error_code& error) {
        if (error) return;  // cancelled by a stop(), which reports itself
        // Lines logged since the timer was armed may have moved the time on.
        if (ErrorLineBudget::Clock::now() < errorBudget.reportTime()) {
            armReport();
            return;
        }
        reportHeldLines(false);
    });
}

void UDPServer::Internals::reportHeldLines(bool flush) {
    const std::uint64_t held = errorBudget.takeHeld(ErrorLineBudget::Clock::now());
    FirstFailure failure;
    failure.run([&] { logDrops(flush); });
    if (held != 0) {
        failure.run([&] {
            velmora::Logger::error("[UDPServer] Suppressed " + std::to_string(held) +
                                   " similar error lines on port " + std::to_string(localPort));
            errorBudget.reported(ErrorLineBudget::Clock::now());
        });
    }
    failure.rethrow();
}
