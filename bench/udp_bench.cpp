// The library against bare POSIX sockets on loopback, in the same run: receive
// throughput and receiving-thread CPU per datagram, send rate, round trip, and
// allocations per received datagram. Debug lines are built but not written.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "AllocationCounter.h"
#include "BareSocket.h"
#include "RatioReport.h"

namespace {

constexpr int kBatch = 4096;  // datagrams per receive iteration
constexpr int kRoundTrips = 256;

// Ports that were free a moment ago (on 127.0.0.1, and so on 0.0.0.0).
std::pair<int, int> twoFreePorts() {
    const BareSocket first, second;
    return {first.port(), second.port()};
}

int freePort() {
    return twoFreePorts().first;
}

// Counts deliveries and samples the receiving thread's CPU clock once per
// batch, from that thread.
class DeliveryMeter {
public:
    void delivered() {
        const long n = count.load(std::memory_order_relaxed) + 1;
        if (n == 1) firstCpu = threadCpuNanos();
        if (n % kBatch == 0) {
            lastCpu = threadCpuNanos();
            lastCpuCount = n;
        }
        count.store(n, std::memory_order_release);
    }
    long total() const { return count.load(std::memory_order_acquire); }
    // CPU per datagram over every whole batch delivered so far.
    double cpuNanosPerDatagram() const {
        return lastCpuCount > 1 ? double(lastCpu - firstCpu) / double(lastCpuCount - 1) : 0;
    }

private:
    std::atomic<long> count{0};
    long long firstCpu = 0, lastCpu = 0;
    long lastCpuCount = 0;
};

class MeteringDelegate : public UDPServerDelegate {
public:
    explicit MeteringDelegate(DeliveryMeter& meter) : meter(meter) {}
    void messageReceived(const char*, std::uint64_t) override { meter.delivered(); }

private:
    DeliveryMeter& meter;
};

// A receive-only UDPServer on a port of its own.
class LibraryReceiver {
public:
    LibraryReceiver() : delegate(meter) {
        boundPort = freePort();
        server = std::make_unique<UDPServer>(boundPort);
        server->setDelegate(&delegate);
        server->start();
    }
    ~LibraryReceiver() { server->stop(); }
    int port() const { return boundPort; }
    DeliveryMeter meter;

private:
    MeteringDelegate delegate;
    std::unique_ptr<UDPServer> server;
    int boundPort = 0;
};

// A thread in a blocking recvfrom loop.
class BareReceiver {
public:
    BareReceiver() : worker([this] { run(); }) {}
    ~BareReceiver() {
        running = false;
        worker.join();
    }
    int port() const { return socket.port(); }
    DeliveryMeter meter;

private:
    void run() {
        socket.setReceiveTimeout(50);
        char buffer[1024];
        while (running) {
            if (socket.receive(buffer, sizeof buffer) >= 0) meter.delivered();
        }
    }
    BareSocket socket;
    std::atomic<bool> running{true};
    std::thread worker;
};

// The sender floods a batch as fast as it can, then waits until the receiver
// has drained its socket; what the kernel dropped on the way counts as lost.
template <typename Receiver>
void receiveFlood(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    Receiver receiver;
    BareSocket sender;
    const long allocationsBefore = allocationCount();
    long sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            sender.sendTo(receiver.port(), payload.data(), payload.size());
        }
        sent += kBatch;
        long seen = -1;
        while (receiver.meter.total() < sent && receiver.meter.total() != seen) {
            seen = receiver.meter.total();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const double delivered = double(receiver.meter.total());
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.counters["lost"] = double(sent) - delivered;
    state.counters["cpu_ns_per_dgram"] = receiver.meter.cpuNanosPerDatagram();
    state.counters["allocs_per_dgram"] = double(allocationCount() - allocationsBefore) / delivered;
}

void BM_ReceiveLibrary(benchmark::State& state) { receiveFlood<LibraryReceiver>(state); }
void BM_ReceiveBare(benchmark::State& state) { receiveFlood<BareReceiver>(state); }
BENCHMARK(BM_ReceiveLibrary)->Arg(64)->Arg(1024)->UseRealTime();
BENCHMARK(BM_ReceiveBare)->Arg(64)->Arg(1024)->UseRealTime();

// Sends to a socket that nobody reads: the kernel drops what overflows it.
void BM_SendLibrary(benchmark::State& state) {
    const BareSocket sink;
    const std::string payload(64, 'x');
    UDPServer server("127.0.0.1", sink.port(), freePort());
    server.start();
    for (auto _ : state) {
        benchmark::DoNotOptimize(server.send(payload.data(), payload.size()));
    }
    state.SetItemsProcessed(state.iterations());
    server.stop();
}

void BM_SendBare(benchmark::State& state) {
    const BareSocket sink, sender;
    const std::string payload(64, 'x');
    for (auto _ : state) sender.sendTo(sink.port(), payload.data(), payload.size());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendLibrary)->UseRealTime();
BENCHMARK(BM_SendBare)->UseRealTime();

// Ping-pong of 64-byte datagrams: each side answers from its delegate.
class PingPong : public UDPServerDelegate {
public:
    PingPong(UDPServer*& self) : self(self) {}
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
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
    state.counters["us_per_rtt"] = benchmark::Counter(
        double(state.iterations() * kRoundTrips), benchmark::Counter::kIsRate |
                                                      benchmark::Counter::kInvert);
    first.stop();
    second.stop();
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
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
    state.counters["us_per_rtt"] = benchmark::Counter(
        double(state.iterations() * kRoundTrips), benchmark::Counter::kIsRate |
                                                      benchmark::Counter::kInvert);
}
BENCHMARK(BM_RoundTripLibrary)->UseRealTime();
BENCHMARK(BM_RoundTripBare)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Debug lines are still built, as every datagram requires; just not written.
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Error);
    benchmark::Initialize(&argc, argv);
    RatioReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();

    std::printf("\nLibrary / bare sockets, same run:\n");
    for (const char* size : {"64", "1024"}) {
        const std::string library = std::string("BM_ReceiveLibrary/") + size + "/real_time";
        const std::string bare = std::string("BM_ReceiveBare/") + size + "/real_time";
        report.printRatio(std::string("receive rate, ") + size + " B", library, bare,
                          "items_per_second", true, 0.8);
        report.printRatio(std::string("receiving thread CPU per datagram, ") + size + " B",
                          library, bare, "cpu_ns_per_dgram", false, 1.25);
        report.printCeiling(std::string("allocations per received datagram, ") + size + " B",
                            library, "allocs_per_dgram", 1.0);
    }
    report.printRatio("send rate", "BM_SendLibrary/real_time", "BM_SendBare/real_time",
                      "items_per_second", true, 0.5);
    report.printRatio("round trip time", "BM_RoundTripLibrary/real_time",
                      "BM_RoundTripBare/real_time", "us_per_rtt", false, 1.5);
    return 0;
}
