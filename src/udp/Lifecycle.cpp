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
    ioContext.stop();
    if (phase == Phase::Stopped) return StopClaim::AlreadyStopped;
    if (thread->get_id() == std::this_thread::get_id()) return StopClaim::OnWorker;
    phase = Phase::Stopping;
    return StopClaim::JoinWorker;
}
