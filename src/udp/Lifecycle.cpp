#include <string>
#include <system_error>
#include <utility>

#include "host/Logger.h"
#include "udp/FirstFailure.h"
#include "udp/Internals.h"
#include "udp/NativeSocket.h"
#include "udp/SystemErrors.h"

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

std::unique_lock<std::mutex> UDPServer::Internals::lockWhileStopped(const char* what) {
    std::unique_lock<std::mutex> lock(lifecycleMutex);
    if (phase != Phase::Stopped) {
        throw std::system_error(std::make_error_code(std::errc::operation_in_progress),
                                std::string(what) + " is set while the server is stopped");
    }
    return lock;
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
    const int count = workerCount.load();
    for (int i = 0; i < count; ++i) {
        if (workers[i]->runsOnThisThread()) {
            stopWorkers();
            return StopClaim::OnWorker;
        }
    }
    phase = Phase::Stopping;
    return StopClaim::JoinWorker;
}

void UDPServer::Internals::startWorkers() {
    const int count = workerCount.load();
    raised.begin(count);
    for (int i = 0; i < count; ++i) {
        try {
            workers[i]->start();
        } catch (...) {
            running.store(false);
            for (int j = 0; j < i; ++j) workers[j]->stopLoop();
            for (int j = 0; j < i; ++j) workers[j]->join();
            throw;
        }
    }
}

void UDPServer::Internals::stopWorkers() {
    const int count = workerCount.load();
    for (int i = 0; i < count; ++i) workers[i]->stopLoop();
}

// A socket that joins the port group shares the first one's senders from the
// moment it is bound; the first socket joins the group only now, so that a
// server with one worker keeps its port to itself. Should a socket fail, the
// workers stay as they were.
void UDPServer::Internals::addWorkers(int count) {
    const int before = workerCount.load();
    std::error_code error;
    // An adopted socket is in its group already, or no one can join it.
    const bool grouped = before == 1 && !adopted;
    if (grouped) sharePort(home().socket(), true, error);
    if (error) throw std::system_error(standardCode(error), "open");
    int added = before;
    // No policy changes while sockets join: each gets the filter in force.
    const auto settings = gate.holdSettings();
    try {
        for (; added < count; ++added) {
            auto worker =
                std::make_unique<Worker>(shared, socketPlan, static_cast<std::size_t>(added));
            worker->setLayout(static_cast<std::size_t>(maxDatagram.load()));
            if (!options.isDefault()) applyOptions(worker->socket(), options, error);
            if (!error) gate.filterNewSocket(worker->nativeSocket(), error);
            if (error) throw std::system_error(standardCode(error), "open");
            workers[added] = std::move(worker);
        }
    } catch (...) {
        for (int i = before; i < added; ++i) workers[i].reset();
        if (grouped) sharePort(home().socket(), false, error);
        throw;
    }
    raised.added(before, count);
    workerCount.store(count);
}

// The error line budget spans runs (see ErrorLines::settle). What the system
// said of destinations is reported before the lines settle.
void UDPServer::Internals::settleWithoutWorker(bool last) {
    const int count = workerCount.load();
    FirstFailure failure;
    for (int i = 0; i < count; ++i) {
        // held by a batch that stop() cut short
        failure.run([&] { workers[i]->sending().sendReplies(); });
    }
    failure.run([&] { sender.logQueuedSends(); });
    for (int i = 0; i < count; ++i) {
        failure.run([&] { workers[i]->askSystemDrops(); });
        // Not at destruction: the listener need only outlive the last stop().
        if (!last) failure.run([&] { workers[i]->settleDestinationErrors(); });
    }
    failure.run([&] { lines.settle(last); });
    failure.run([&] { sender.discardWaiting(); });
    failure.rethrow();
}

UDPServer::Error UDPServer::Internals::refuseSending() {
    if (receiveOnly) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on receive-only UDP server");
        return ReceiveOnly;
    }
    if (!running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (isUnspecified(remoteEndpoint.address())) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    return Ok;
}

UDPServer::Error UDPServer::Internals::refuseAddressed(bool sendable) {
    if (!running.load()) {
        velmora::Logger::error("[UDPServer] Error: Trying to send on a stopped UDP server");
        return NotRunning;
    }
    if (!sendable) {
        velmora::Logger::error("[UDPServer] Error: No remote endpoint available to send data");
        return NoRemoteEndpoint;
    }
    return Ok;
}
