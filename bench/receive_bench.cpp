// Receiving: the library against a bare recvfrom loop (and a bare recvmmsg
// loop for bursts) on loopback, in the same run.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "BareSocket.h"
#include "Receivers.h"

namespace {

constexpr int kFloodBatch = 4096;  // datagrams per flood iteration
constexpr int kBurst = 150;        // datagrams per burst

// Sender-bound: counts deliveries and samples the receiving thread's CPU
// clock once per batch, from that thread.
class FloodMeter : public Meter {
public:
    void delivered() override {
        const long n = count.load(std::memory_order_relaxed) + 1;
        if (n == 1) firstCpu = threadCpuNanos();
        if (n % kFloodBatch == 0) {
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

// The sender floods a batch as fast as it can, then waits until the receiver
// has drained its socket; what the kernel dropped on the way counts as lost.
template <typename Receiver>
void receiveFlood(benchmark::State& state) {
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'x');
    FloodMeter meter;
    Receiver receiver(meter);
    BareSocket sender;
    const long allocationsBefore = allocationCount();
    long sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFloodBatch; ++i) {
            sender.sendTo(receiver.port(), payload.data(), payload.size());
        }
        sent += kFloodBatch;
        long seen = -1;
        while (meter.total() < sent && meter.total() != seen) {
            seen = meter.total();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const double delivered = double(meter.total());
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.counters["lost"] = double(sent) - delivered;
    state.counters["cpu_ns_per_dgram"] = meter.cpuNanosPerDatagram();
    state.counters["allocs_per_dgram"] = double(allocationCount() - allocationsBefore) / delivered;
}

// The library's server is bound to 127.0.0.1, as the bare sockets are; one
// on the wildcard address also asks where each datagram arrived, which the
// system pays for, and is measured beside it.
class LoopbackReceiver : public LibraryReceiver {
public:
    explicit LoopbackReceiver(Meter& meter) : LibraryReceiver(meter, 0, false, "127.0.0.1") {}
};
void BM_FloodLibrary(benchmark::State& state) { receiveFlood<LoopbackReceiver>(state); }
void BM_FloodLibraryAnyAddress(benchmark::State& state) { receiveFlood<LibraryReceiver>(state); }
void BM_FloodBare(benchmark::State& state) { receiveFlood<BareReceiver>(state); }
BENCHMARK(BM_FloodLibrary)->Arg(64)->Arg(1024)->UseRealTime();
BENCHMARK(BM_FloodLibraryAnyAddress)->Arg(64)->UseRealTime();
BENCHMARK(BM_FloodBare)->Arg(64)->Arg(1024)->UseRealTime();

// How the wait alone costs: the bare loops an event loop could make, beside
// the blocking ones, at 64 bytes.
using Loop = BareReceiver::Loop;
void BM_FloodBareWaitForOne(benchmark::State& state) { receiveFlood<BareBatchReceiver>(state); }
void BM_FloodBareEdgeOneShot(benchmark::State& state) {
    receiveFlood<BarePolledReceiver<Loop::EdgeOneShotUntilEmpty>>(state);
}
void BM_FloodBareLevelUntilEmpty(benchmark::State& state) {
    receiveFlood<BarePolledReceiver<Loop::LevelUntilEmpty>>(state);
}
void BM_FloodBareLevelOncePerWake(benchmark::State& state) {
    receiveFlood<BarePolledReceiver<Loop::LevelOncePerWake>>(state);
}
BENCHMARK(BM_FloodBareWaitForOne)->Arg(64)->UseRealTime();
BENCHMARK(BM_FloodBareEdgeOneShot)->Arg(64)->UseRealTime();
BENCHMARK(BM_FloodBareLevelUntilEmpty)->Arg(64)->UseRealTime();
BENCHMARK(BM_FloodBareLevelOncePerWake)->Arg(64)->UseRealTime();

// The same flood with every datagram's traffic class, hop limit, receive time
// and interface asked for and read, by the library and by a bare recvmmsg
// loop asking for the same control data.
class InformedReceiver : public LibraryReceiver {
public:
    explicit InformedReceiver(Meter& meter) : LibraryReceiver(meter, 0, true) {}
};
void BM_FloodLibraryInfo(benchmark::State& state) { receiveFlood<InformedReceiver>(state); }
void BM_FloodBareInfo(benchmark::State& state) { receiveFlood<BareInfoReceiver>(state); }
BENCHMARK(BM_FloodLibraryInfo)->Arg(64)->UseRealTime();
BENCHMARK(BM_FloodBareInfo)->Arg(64)->UseRealTime();

// Receiver-bound: the receiving thread is held on a burst's first datagram
// while the rest of the burst is queued, then released; the CPU it spends
// from the 2nd delivery to the last is what reading a full queue costs.
class BurstMeter : public Meter {
public:
    void delivered() override {
        const int n = ++inBurst;
        if (n == 1) {
            std::unique_lock<std::mutex> lock(mutex);
            held = true;
            changed.notify_all();
            changed.wait(lock, [&] { return !held; });
        } else if (n == 2) {
            burstStart = threadCpuNanos();
        } else if (n == kBurst) {
            cpu += threadCpuNanos() - burstStart;
            inBurst = 0;
            std::lock_guard<std::mutex> lock(mutex);
            ++bursts;
            changed.notify_all();
        }
    }

    // Sends one burst to `port` from `sender` and waits until it is read.
    void burst(const BareSocket& sender, int port, const std::string& payload) {
        const long before = finishedBursts();
        sender.sendTo(port, payload.data(), payload.size());
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return held; });
        }
        for (int i = 1; i < kBurst; ++i) sender.sendTo(port, payload.data(), payload.size());
        {
            std::unique_lock<std::mutex> lock(mutex);
            held = false;
            changed.notify_all();
            changed.wait(lock, [&] { return bursts > before; });
        }
    }

    double cpuNanosPerDatagram() const {
        return bursts ? double(cpu) / double(bursts * (kBurst - 2)) : 0;
    }

private:
    long finishedBursts() {
        std::lock_guard<std::mutex> lock(mutex);
        return bursts;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    long bursts = 0;
    // Receiving thread only.
    int inBurst = 0;
    long long burstStart = 0;
    long long cpu = 0;
};

template <typename Receiver>
void receiveBursts(benchmark::State& state) {
    const std::string payload(64, 'x');
    BurstMeter meter;
    Receiver receiver(meter);
    BareSocket sender;
    for (auto _ : state) meter.burst(sender, receiver.port(), payload);
    state.SetItemsProcessed(state.iterations() * kBurst);
    state.counters["cpu_ns_per_dgram"] = meter.cpuNanosPerDatagram();
}

void BM_BurstLibrary(benchmark::State& state) { receiveBursts<LibraryReceiver>(state); }
void BM_BurstBare(benchmark::State& state) { receiveBursts<BareReceiver>(state); }
void BM_BurstBareBatch(benchmark::State& state) { receiveBursts<BareBatchReceiver>(state); }
BENCHMARK(BM_BurstLibrary)->UseRealTime();
BENCHMARK(BM_BurstBare)->UseRealTime();
BENCHMARK(BM_BurstBareBatch)->UseRealTime();

}  // namespace
