// Sending and answering: the library against bare sendto and sendmmsg loops
// and a bare recvfrom/sendto ping-pong on loopback, in the same run.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "AllocationCounter.h"
#include "BareSocket.h"

namespace {

constexpr int kSendBatch = 1024;
constexpr int kCallBatch = 32;  // datagrams per call where a call takes many
constexpr int kRoundTrips = 256;

// Counts the "Sent" lines, the sign that a send has completed; other lines
// are dropped. Restores the logger when done.
class SentLineCounter {
public:
    SentLineCounter() {
        velmora::LogControl::setCapture([this](velmora::LogLevel, const std::string& line) {
            static const char prefix[] = "[UDPServer] Sent ";
            if (line.compare(0, sizeof prefix - 1, prefix) == 0) {
                count.fetch_add(1, std::memory_order_release);
            }
        });
        velmora::LogControl::setMinimumLevel(velmora::LogLevel::Debug);
    }
    ~SentLineCounter() {
        velmora::LogControl::setMinimumLevel(velmora::LogLevel::Error);
        velmora::LogControl::setCapture({});
    }
    long total() const { return count.load(std::memory_order_acquire); }

private:
    std::atomic<long> count{0};
};

// Sends to a socket that nobody reads (the kernel drops what overflows it),
// each batch until its last "Sent" line is logged.
void BM_SendLibrary(benchmark::State& state) {
    const BareSocket sink;
    const std::string payload(64, 'x');
    UDPServer server("127.0.0.1", sink.port(), freePort());
    SentLineCounter sentLines;
    server.start();
    long sent = 0;
    long allocationsBefore = 0;
    for (auto _ : state) {
        if (sent == kSendBatch) allocationsBefore = allocationCount();  // after the first batch
        for (int i = 0; i < kSendBatch; ++i) server.send(payload.data(), payload.size());
        sent += kSendBatch;
        while (sentLines.total() < sent) std::this_thread::yield();
    }
    server.stop();
    state.SetItemsProcessed(sent);
    state.counters["allocs_per_send"] =
        sent > kSendBatch ? double(allocationCount() - allocationsBefore) / double(sent - kSendBatch)
                          : 0;
}

// The same, handing the server 32 datagrams per call.
void BM_SendBatchLibrary(benchmark::State& state) {
    const BareSocket sink;
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    const std::vector<UDPServer::Datagram> batch(kCallBatch, {payload.data(), payload.size()});
    UDPServer server("127.0.0.1", sink.port(), freePort());
    SentLineCounter sentLines;
    server.start();
    long sent = 0, refused = 0;
    long allocationsBefore = 0;
    for (auto _ : state) {
        if (sent == kSendBatch) allocationsBefore = allocationCount();  // after the first batch
        for (int i = 0; i < kSendBatch; i += kCallBatch) {
            const auto accepted = static_cast<long>(server.send(batch.data(), batch.size()));
            sent += accepted;
            refused += kCallBatch - accepted;
        }
        while (sentLines.total() < sent) std::this_thread::yield();
    }
    server.stop();
    state.SetItemsProcessed(sent);
    state.counters["refused"] = double(refused);
    state.counters["allocs_per_send"] =
        sent > kSendBatch ? double(allocationCount() - allocationsBefore) / double(sent - kSendBatch)
                          : 0;
}

void BM_SendBare(benchmark::State& state) {
    const BareSocket sink, sender;
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        for (int i = 0; i < kSendBatch; ++i) sender.sendTo(sink.port(), payload.data(), payload.size());
    }
    state.SetItemsProcessed(state.iterations() * kSendBatch);
}

void BM_SendBareBatch(benchmark::State& state) {
    const BareSocket sink, sender;
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        for (int i = 0; i < kSendBatch;) {
            i += sender.sendManyTo(sink.port(), payload.data(), payload.size(), kCallBatch);
        }
    }
    state.SetItemsProcessed(state.iterations() * kSendBatch);
}
BENCHMARK(BM_SendLibrary)->UseRealTime();
BENCHMARK(BM_SendBatchLibrary)->Arg(64)->Arg(1024)->UseRealTime();
BENCHMARK(BM_SendBare)->Arg(64)->Arg(1024)->UseRealTime();
BENCHMARK(BM_SendBareBatch)->Arg(64)->Arg(1024)->UseRealTime();

// Ping-pong of 64-byte datagrams: each side answers from its delegate.
class PingPong : public UDPServerDelegate {
public:
    explicit PingPong(UDPServer*& self) : self(self) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        if (returns.fetch_add(1) + 1 < target.load()) {
            self->send(data, size);
            return;
        }
        { std::lock_guard<std::mutex> lock(mutex); }  // the waiter is asleep or not yet checking
        finished.notify_all();
    }
    // Sends one ping and waits until `rounds` more answers have come back.
    void play(long rounds, const std::string& payload) {
        std::unique_lock<std::mutex> lock(mutex);
        target = returns + rounds;
        self->send(payload.data(), payload.size());
        finished.wait(lock, [&] { return returns >= target; });
    }
    UDPServer*& self;
    std::atomic<long> returns{0};
    std::atomic<long> target{1L << 62};  // the echoing side never stops

private:
    std::mutex mutex;
    std::condition_variable finished;
};

void setRoundTripCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
    state.counters["us_per_rtt"] = benchmark::Counter(
        double(state.iterations() * kRoundTrips),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RoundTripLibrary(benchmark::State& state) {
    const auto [firstPort, secondPort] = twoFreePorts();
    UDPServer* pingerServer = nullptr;
    UDPServer* echoServer = nullptr;
    PingPong pinger(pingerServer), echo(echoServer);
    UDPServer first("127.0.0.1", secondPort, firstPort);
    UDPServer second("127.0.0.1", firstPort, secondPort);
    pingerServer = &first;
    echoServer = &second;
    first.setDelegate(&pinger);
    second.setDelegate(&echo);
    first.start();
    second.start();
    const std::string payload(64, 'x');
    for (auto _ : state) pinger.play(kRoundTrips, payload);
    first.stop();
    second.stop();
    setRoundTripCounters(state);
}

void BM_RoundTripBare(benchmark::State& state) {
    BareSocket pinger, echo;
    std::atomic<bool> running{true};
    std::thread echoer([&] {
        echo.setReceiveTimeout(50);
        char buffer[1024];
        while (running) {
            const long size = echo.receive(buffer, sizeof buffer);
            if (size >= 0) echo.sendTo(pinger.port(), buffer, static_cast<std::size_t>(size));
        }
    });
    const std::string payload(64, 'x');
    char buffer[1024];
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; ++i) {
            pinger.sendTo(echo.port(), payload.data(), payload.size());
            pinger.receive(buffer, sizeof buffer);
        }
    }
    running = false;
    echoer.join();
    setRoundTripCounters(state);
}
BENCHMARK(BM_RoundTripLibrary)->UseRealTime();
BENCHMARK(BM_RoundTripBare)->UseRealTime();

}  // namespace
