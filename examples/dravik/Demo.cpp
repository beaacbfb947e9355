// Two peer-mode servers on loopback play ping-pong: A sends, B echoes from its
// delegate, A times each round trip. A few payloads carry Base64 text that B
// decodes and checks.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <dravik/Base64.h>
#include <dravik/UDPServer.h>

#include "Commands.h"
#include "Interrupt.h"

using velmora::extensions::dravik::Base64;
using Clock = std::chrono::steady_clock;

namespace dravik_app {
namespace {

constexpr long kBase64Every = 1000;  // one payload in this many carries Base64

// Deterministic bytes for the Base64 payload of datagram `sequence`.
std::vector<std::uint8_t> base64Bytes(long sequence, std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(sequence));
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

// "<sequence>[...] b <base64>" or "<sequence> p <padding>", exactly `size`
// bytes long: dots after the sequence make up for Base64 text coming in
// steps of 4 characters.
std::string payload(long sequence, std::size_t size) {
    std::string text = std::to_string(sequence);
    if (sequence % kBase64Every == 0) {
        const std::size_t encoded = (size - text.size() - 3) / 4 * 4;
        text.append(size - text.size() - 3 - encoded, '.');
        text += " b ";
        return text + Base64::encode(base64Bytes(sequence, encoded / 4 * 3));
    }
    text += " p ";
    return text + std::string(size - text.size(), '.');
}

// B: checks Base64 payloads and sends every datagram back.
class Echo : public UDPServerDelegate {
public:
    void messageReceived(const char* data, std::uint64_t size) override {
        const std::string text(data, static_cast<std::size_t>(size));
        ++received;
        bytes += size;
        const std::size_t mark = text.find(" b ");
        if (mark != std::string::npos) {
            try {
                const auto decoded = Base64::decode(text.substr(mark + 3));
                (decoded == base64Bytes(std::stol(text), decoded.size()) ? base64Ok : base64Bad)++;
            } catch (const std::exception&) {
                ++base64Bad;
            }
        }
        if (server->send(data, size) == UDPServer::Ok) ++sent;
    }
    UDPServer* server = nullptr;
    long received = 0, sent = 0, base64Ok = 0, base64Bad = 0;  // worker thread; read after stop
    std::uint64_t bytes = 0;
};

// A: notes which datagram came back and wakes the sender.
class Pinger : public UDPServerDelegate {
public:
    void messageReceived(const char* data, std::uint64_t size) override {
        const long sequence = std::stol(std::string(data, static_cast<std::size_t>(size)));
        {
            std::lock_guard<std::mutex> lock(mutex);
            lastBack = std::max(lastBack, sequence);
            ++received;
            bytes += size;
        }
        back.notify_one();
    }
    // Waits until datagram `sequence` is back; false after `timeout`.
    bool awaitBack(long sequence, Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return back.wait_for(lock, timeout, [&] { return lastBack >= sequence; });
    }
    std::mutex mutex;
    std::condition_variable back;
    long lastBack = -1, received = 0;
    std::uint64_t bytes = 0;
};

struct Pair {
    std::unique_ptr<UDPServer> a, b;
    int portA = 0, portB = 0;
};

// Two servers aimed at each other on ports that were free.
Pair openPair() {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> port(20000, 59999);
    for (int attempt = 0;; ++attempt) {
        Pair pair;
        pair.portA = port(random);
        pair.portB = pair.portA + 1;
        try {
            pair.a = std::make_unique<UDPServer>("127.0.0.1", pair.portB, pair.portA);
            pair.b = std::make_unique<UDPServer>("127.0.0.1", pair.portA, pair.portB);
            return pair;
        } catch (const std::system_error&) {
            if (attempt == 50) throw UserError("found no two free loopback ports");
        }
    }
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(fraction * double(values.size() - 1) + 0.5);
    return values[rank];
}

}  // namespace

int runDemo(CommandLine& line) {
    const long count = parseNumber(line.value("--count", "10000"), "--count", 1, 10000000);
    const auto size = static_cast<std::size_t>(parseNumber(line.value("--size", "64"), "--size", 24, 1024));
    if (!line.finish().empty()) throw UsageError("demo takes no positional arguments");

    Echo echo;
    Pinger pinger;
    Pair pair = openPair();
    echo.server = pair.b.get();
    pair.a->setDelegate(&pinger);
    pair.b->setDelegate(&echo);
    pair.a->start();
    pair.b->start();
    std::printf("dravik demo: %s of %zu bytes each way, 127.0.0.1:%d <-> 127.0.0.1:%d\n",
                counted(count, "datagram").c_str(), size, pair.portA, pair.portB);

    std::vector<double> roundTrips;
    roundTrips.reserve(static_cast<std::size_t>(count));
    long sent = 0, lostInARow = 0;
    const Clock::time_point start = Clock::now();
    catchInterrupts();
    for (long sequence = 0; sequence < count && lostInARow < 50 && !interrupted(); ++sequence) {
        const std::string text = payload(sequence, size);
        const Clock::time_point sentAt = Clock::now();
        if (pair.a->send(text.data(), text.size()) == UDPServer::Ok) ++sent;
        if (pinger.awaitBack(sequence, std::chrono::milliseconds(200))) {
            roundTrips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sentAt).count());
            lostInARow = 0;
        } else {
            ++lostInARow;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    pair.a->stop();
    pair.b->stop();

    const long lostAB = sent - echo.received;
    const long lostBA = echo.sent - pinger.received;
    std::printf("  A -> B   sent %ld, received %ld, lost %ld\n", sent, echo.received, lostAB);
    std::printf("  B -> A   sent %ld, received %ld, lost %ld\n", echo.sent, pinger.received, lostBA);
    std::printf("  bytes    %llu received in all\n",
                static_cast<unsigned long long>(echo.bytes + pinger.bytes));
    std::printf("  elapsed  %.3f s, %.0f datagrams/s\n", elapsed,
                double(echo.received + pinger.received) / elapsed);
    std::printf("  round trip  median %.1f us, 99th percentile %.1f us\n",
                percentile(roundTrips, 0.5), percentile(roundTrips, 0.99));
    std::printf("  base64   %s decoded back intact, %ld failed\n",
                counted(echo.base64Ok, "payload").c_str(), echo.base64Bad);
    return lostAB == 0 && lostBA == 0 && echo.base64Bad == 0 ? 0 : 1;
}

}  // namespace dravik_app
