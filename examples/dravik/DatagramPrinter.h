#pragma once

#include <atomic>
#include <cstdint>

#include <dravik/UDPServer.h>

#include "MonotonicClock.h"
#include "OutputWriter.h"

namespace dravik_app {

enum class PrintFormat { Text, Hex, Base64 };

// Prints every datagram on its own line of standard output (text with control
// bytes escaped, hex, or Base64), through `output`, and counts them. Runs on
// the server's worker.
class DatagramPrinter : public UDPServerDelegate {
public:
    DatagramPrinter(PrintFormat format, OutputWriter& output) : format(format), output(output) {}

    // From now on each datagram follows its sender, as `server` tells it,
    // and a tab. Call before the server starts.
    void showSendersOf(const UDPServer& server) { senders = &server; }
    // From now on each datagram follows, and a tab, what the network said
    // of it: "tos 0xb8 ttl 64 at 1765312345.123456789 on lo", "-" for what is
    // unknown. Call before the server starts, which must be told to ask.
    void showInfoOf(const UDPServer& server) { informer = &server; }

    void messageReceived(const char* data, std::uint64_t size) override;

    std::uint64_t datagrams() const { return datagramCount.load(); }
    std::uint64_t bytes() const { return byteCount.load(); }
    // Monotonic milliseconds of the last datagram (0: none yet).
    std::int64_t lastArrival() const { return lastArrivalMs.load(); }

private:
    const PrintFormat format;
    OutputWriter& output;
    const UDPServer* senders = nullptr;
    const UDPServer* informer = nullptr;
    std::atomic<std::uint64_t> datagramCount{0};
    std::atomic<std::uint64_t> byteCount{0};
    std::atomic<std::int64_t> lastArrivalMs{0};
};

}  // namespace dravik_app
