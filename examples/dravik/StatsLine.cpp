#include "StatsLine.h"

#include <chrono>
#include <cstdio>

#include "Interrupt.h"
#include "SenderLimits.h"

namespace dravik_app {

StatsLine::StatsLine(const UDPServer& server)
    : server(server), rewrites(standardErrorIsOwnTerminal()), thread([this] { run(); }) {}

StatsLine::~StatsLine() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stopAsked.notify_all();
    thread.join();
    show();
    if (rewrites) std::fputc('\n', stderr);
}

std::string StatsLine::describe(const UDPServer::Counters& c) {
    const auto figure = [](const char* name, unsigned long long value) {
        return std::string(name) + " " + std::to_string(value);
    };
    return figure("received", c.received) + ", " + figure("delivered", c.delivered) + ", " +
           figure("dropped by the system", c.droppedBySystem) + ", " +
           figure("rejected", c.rejectedForeign + c.rejectedEmpty + c.rejectedNotForGroup) +
           ", " +
           figure("unreachable", c.unreachablePort + c.unreachableHost + c.unreachableTooBig +
                                     c.unreachableOther) +
           ", " + figure("sent", c.sent) + ", " + describeRefusals(c);
}

// "\r" and "clear to the end of the line" rewrite it in place.
void StatsLine::show() {
    const std::string text = describe(server.counters());
    if (rewrites) {
        std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void StatsLine::run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopAsked.wait_for(lock, std::chrono::seconds(1), [this] { return stopping; })) {
        lock.unlock();
        show();
        lock.lock();
    }
}

}  // namespace dravik_app
