#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "DatagramPrinter.h"
#include "Interrupt.h"
#include "LogLines.h"
#include "OpenServer.h"
#include "OutputWriter.h"

namespace dravik_app {
namespace {

// Sends the messages in as few calls as the server takes them; when its
// queue is full (the link is slower than the input), waits until it has
// drained before going on with the rest, so that refusals stay rare. Returns
// how many were refused for good, or left unsent because an interrupt came
// while it waited.
std::uint64_t sendAll(UDPServer& server, const std::vector<std::string>& messages) {
    std::vector<UDPServer::Datagram> batch;
    batch.reserve(messages.size());
    for (const std::string& message : messages) batch.push_back({message.data(), message.size()});
    std::size_t next = 0;
    while (next < batch.size()) {
        UDPServer::Error refusal = UDPServer::Ok;
        next += server.send(batch.data() + next, batch.size() - next, &refusal);
        if (refusal != UDPServer::SendQueueFull) break;
        while (server.counters().waitingDatagrams != 0) {
            if (interrupted()) return batch.size() - next;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return batch.size() - next;
}

// Waits until every send issued has left or failed, however slow the link,
// unless an interrupt comes first.
void awaitOutcomes(const UDPServer& server) {
    for (;;) {
        const UDPServer::Counters c = server.counters();
        if (c.sent + c.sendsFailed >= c.sendsAccepted || interrupted()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// What the system said when the destination could not be reached: the
// first such word, in the system's own words.
class UnreachableNote : public UDPServer::UnreachableListener {
public:
    void destinationUnreachable(const UDPServer::Unreachable& unreachable) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (reason.empty()) reason = unreachable.error.message();
    }
    std::string said() const {
        std::lock_guard<std::mutex> lock(mutex);
        return reason;
    }

private:
    mutable std::mutex mutex;
    std::string reason;
};

}  // namespace

int runSend(CommandLine& line) {
    const int localPort = parsePort(line.value("--local-port", "0"), "--local-port");
    const long waitMs = parseNumber(line.value("--wait", "500"), "--wait", 0, 3600000);
    const SendMarks marks = parseSendMarks(line);
    const auto positional = line.finish();
    if (positional.size() < 2) throw UsageError("send takes HOST PORT [MESSAGE ...]");
    const std::string& host = positional[0];
    const int remotePort = parsePort(positional[1], "PORT");
    const std::string destination =
        (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" +
        std::to_string(remotePort);

    LogLines log(velmora::LogControl::minimumLevel(), true);
    OutputWriter output;
    DatagramPrinter printer(PrintFormat::Text, output);
    auto server = openPeer(host, remotePort, localPort);
    server->setMaxDatagramSize(65535);  // replies are printed whole
    server->setDelegate(&printer);
    applySendMarks(marks, *server);
    UnreachableNote unreachable;
    server->setUnreachableListener(&unreachable);
    catchInterrupts();
    server->start();
    if (localPort == 0) std::fprintf(stderr, "sending from UDP port %d\n", server->localPort());

    // Every batch is tried, whatever became of the ones before.
    std::uint64_t refused = 0;
    bool inputEnded = true;
    if (positional.size() > 2) {
        refused = sendAll(*server, {positional.begin() + 2, positional.end()});
        inputEnded = !interrupted();
    } else {
        for (std::vector<std::string> lines; readLines(lines);) refused += sendAll(*server, lines);
        inputEnded = !interrupted();
    }
    awaitOutcomes(*server);

    // Replies keep coming for a while; stop after a quiet period.
    std::int64_t quietSince = nowMs();
    while (!interrupted() && output.error() == 0) {
        quietSince = std::max(quietSince, printer.lastArrival());
        if (nowMs() - quietSince >= waitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Replies already taken are printed, as far as the reader takes them.
    output.stopWaitingForRoom();
    server->stop();
    output.finish();
    if (output.error() != 0) throw StreamError("write error", output.error());
    const std::uint64_t unprinted = printer.datagrams() - output.written();
    if (unprinted != 0) {
        std::fprintf(stderr, "dravik send: %s not written: standard output took nothing for %lld ms\n",
                     counted(unprinted, "reply").c_str(),
                     static_cast<long long>(OutputWriter::kFinishWait.count()));
    }

    // The destination said no one listens, and nothing answered.
    const std::string refusal = unreachable.said();
    const bool unanswered = !refusal.empty() && printer.datagrams() == 0;
    if (unanswered) {
        std::fprintf(stderr, "dravik send: %s: %s\n", destination.c_str(), refusal.c_str());
    }
    // Sends still waiting when an interrupt stopped the server are discarded.
    const UDPServer::Counters c = server->counters();
    const std::uint64_t failed = refused + c.sendsFailed + c.sendsDiscarded;
    if (failed != 0) {
        const std::string reason = c.sendsFailed ? log.lastFailure()
                                   : interrupted() ? "interrupted before they could leave"
                                                   : "the address is unspecified (0.0.0.0 or ::)";
        std::fprintf(stderr, "dravik send: %s to %s could not be sent: %s\n",
                     counted(failed, "datagram").c_str(), destination.c_str(), reason.c_str());
    }
    // Cut short: the shell's status for the signal, so a script can tell.
    if (!inputEnded) return 128 + interruptSignal();
    return failed == 0 && unprinted == 0 && !unanswered ? 0 : 1;
}

}  // namespace dravik_app
