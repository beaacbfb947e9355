// Coalesced receive: a sender hands the system trains of equal datagrams as
// one segmented send, into a receiver held on a gate datagram meanwhile; once
// released, the receiving thread's CPU per datagram until the train is taken
// is what taking a train costs. The library (its maximum raised, so it takes
// trains) against a bare recvmmsg loop that does not coalesce and a bare
// recvmsg loop with UDP_GRO that only counts each train's datagrams. Trains of
// 50 x 1,200 and 64 x 256 bytes, and of 128 x 100, the most this kernel takes
// in one send.
#include <condition_variable>
#include <mutex>
#include <string>

#include <benchmark/benchmark.h>

#include "BareSocket.h"
#include "Receivers.h"

namespace {

class TrainMeter : public Meter {
public:
    explicit TrainMeter(int perRound) : perRound(perRound) {}

    void delivered() override {
        const int n = ++inRound;
        if (n == 1) {
            std::unique_lock<std::mutex> lock(mutex);
            held = true;
            changed.notify_all();
            changed.wait(lock, [&] { return !held; });
            lock.unlock();
            releasedAt = threadCpuNanos();
        } else if (n == perRound) {
            cpu += threadCpuNanos() - releasedAt;
            inRound = 0;
            std::lock_guard<std::mutex> lock(mutex);
            ++rounds;
            changed.notify_all();
        }
    }

    // The gate, then one train while the receiver is held on it.
    void round(const BareSocket& sender, int port, const std::string& train, std::size_t segment) {
        long before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = rounds;
        }
        sender.sendTo(port, "g", 1);
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return held; });
        sender.sendTrain(port, train.data(), segment, perRound - 1);
        held = false;
        changed.notify_all();
        changed.wait(lock, [&] { return rounds > before; });
    }

    double cpuNanosPerDatagram() const {
        return rounds ? double(cpu) / double(rounds * (perRound - 1)) : 0;
    }

private:
    const int perRound;
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    long rounds = 0;
    // Receiving thread only.
    int inRound = 0;
    long long releasedAt = 0;
    long long cpu = 0;
};

template <typename Receiver, typename... Options>
void takeTrains(benchmark::State& state, Options... options) {
    const auto segment = static_cast<std::size_t>(state.range(0));
    const auto count = static_cast<int>(state.range(1));
    const std::string train(segment * static_cast<std::size_t>(count), 't');
    TrainMeter meter(1 + count);
    Receiver receiver(meter, options...);
    BareSocket sender;
    for (auto _ : state) meter.round(sender, receiver.port(), train, segment);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["cpu_ns_per_dgram"] = meter.cpuNanosPerDatagram();
}

void BM_TrainLibrary(benchmark::State& state) {
    takeTrains<LibraryReceiver>(state, std::uint64_t{65535});
}
void BM_TrainBareBatch(benchmark::State& state) { takeTrains<BareBatchReceiver>(state); }
void BM_TrainBareCoalescing(benchmark::State& state) { takeTrains<BareTrainReceiver>(state); }
BENCHMARK(BM_TrainLibrary)->Args({1200, 50})->Args({256, 64})->Args({100, 128})->UseRealTime();
BENCHMARK(BM_TrainBareBatch)->Args({1200, 50})->Args({256, 64})->Args({100, 128})->UseRealTime();
BENCHMARK(BM_TrainBareCoalescing)->Args({1200, 50})->Args({256, 64})->Args({100, 128})->UseRealTime();

}  // namespace
