#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "DatagramPrinter.h"
#include "Interrupt.h"
#include "OpenServer.h"
#include "OutputWriter.h"
#include "SenderLimits.h"
#include "StatsLine.h"

namespace dravik_app {

int runListen(CommandLine& line) {
    const bool asHex = line.flag("--hex");
    const bool asBase64 = line.flag("--base64");
    const bool withSender = line.flag("--from");
    const bool withInfo = line.flag("--info");
    const bool withStats = line.flag("--stats");
    const long maxSize = parseNumber(line.value("--max-size", "65535"), "--max-size", 1, 65535);
    ListeningPlace place = parseListeningOptions(line);
    const std::vector<std::string> sources = line.values("--source");
    const int workers = parseWorkers(line);
    const SenderLimits limits = parseSenderLimits(line, false);
    const auto positional = line.finish();
    takePort(place, positional, "listen");
    if (asHex && asBase64) throw UsageError("choose one of --hex and --base64");

    OutputWriter output;
    DatagramPrinter printer(asHex ? PrintFormat::Hex : asBase64 ? PrintFormat::Base64 : PrintFormat::Text,
                            output);
    auto server = openListening(place, workers);
    if (!sources.empty()) hearOnly(sources, place, *server);
    applySenderLimits(limits, *server);
    if (withSender) printer.showSendersOf(*server);
    if (withInfo) {
        server->setReceiveInfo(true);
        printer.showInfoOf(*server);
    }
    server->setMaxDatagramSize(static_cast<std::uint64_t>(maxSize));
    server->setDelegate(&printer);
    catchInterrupts();
    server->start();
    std::fprintf(stderr, "listening on UDP port %d; Ctrl-C to stop\n", server->localPort());
    {
        std::unique_ptr<StatsLine> stats;
        if (withStats) stats = std::make_unique<StatsLine>(*server);
        while (!interrupted() && output.error() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Nothing is delivered once the server has stopped; then what was
    // delivered is written out, as far as the reader takes it.
    output.stopWaitingForRoom();
    server->stop();
    output.finish();
    const UDPServer::Counters c = server->counters();
    const std::uint64_t delivered = printer.datagrams();
    const std::uint64_t printed = output.written();
    const std::string notForGroup =
        c.rejectedNotForGroup != 0
            ? " (" + std::to_string(c.rejectedNotForGroup) + " sent to another address than the group)"
            : std::string();
    std::fprintf(stderr,
                 "received %s%s, delivered %llu (%s), printed %llu, not written %llu, %s; %s\n",
                 counted(c.received, "datagram").c_str(), notForGroup.c_str(),
                 static_cast<unsigned long long>(delivered),
                 counted(printer.bytes(), "byte").c_str(),
                 static_cast<unsigned long long>(printed),
                 static_cast<unsigned long long>(delivered - printed),
                 systemDrops(*server).c_str(), describeRefusals(c).c_str());
    if (output.error() != 0) throw StreamError("write error", output.error());
    return printed == delivered ? 0 : 1;
}

}  // namespace dravik_app
