#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"

bool UDPServer::Internals::beginPhase(Phase from, Phase to) {
    std::unique_lock<std::mutex> lock(lifecycleMutex);
    lifecycleChanged.wait(lock, [&] { return phase != Phase::Stopping; });
    if (phase != from) return false;
    phase = to;
    return true;
}

void UDPServer::Internals::endPhase(Phase to) {
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        phase = to;
    }
    lifecycleChanged.notify_all();
}

UDPServer::Internals::StopClaim UDPServer::Internals::claimStop() {
    std::unique_lock<std::mutex> lock(lifecycleMutex);
    lifecycleChanged.wait(lock, [&] { return phase != Phase::Starting; });
    if (phase == Phase::Stopping) {
        lifecycleChanged.wait(lock, [&] { return phase != Phase::Stopping; });
        return StopClaim::AlreadyStopped;
    }
    running.store(false);
    if (phase == Phase::Stopped) return StopClaim::AlreadyStopped;
    if (thread->get_id() == std::this_thread::get_id()) {
        ioContext.stop();
        return StopClaim::OnWorker;
    }
    phase = Phase::Stopping;
    return StopClaim::JoinWorker;
}

// The error line budget spans runs: a stop() logs what it finds within the
// budget and leaves the rest to the report that the next run's loop makes
// (its timer, or the report posted to it, waits there), or to destruction.
void UDPServer::Internals::settleWithoutWorker(bool last) {
    FirstFailure failure;
    failure.run([&] { sendReplies(); });  // held by a batch that stop() cut short
    failure.run([&] { logQueuedSends(); });
    failure.run([&] { askSystemDrops(); });
    failure.run([&] {
        if (last) {
            heldLinesTimer.cancel();
            reportHeldLines(true);
        } else if (errorBudget.holding() &&
                   ErrorLineBudget::Clock::now() >= errorBudget.reportTime()) {
            reportHeldLines(false);
        }
    });
    failure.run([&] { discardWaiting(); });
    failure.rethrow();
}

void UDPServer::Internals::discardWaiting() {
    const std::uint64_t discarded = sending.waiting.discardAll();
    if (discarded == 0) return;
    counters.sendsDiscarded.add(discarded);
    velmora::Logger::error("[UDPServer] Discarded " + std::to_string(discarded) +
                           " waiting datagrams on port " + std::to_string(localPort));
}
