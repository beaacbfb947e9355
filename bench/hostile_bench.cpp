// A peer-mode server whose peer sends 20,000 datagrams a second while a
// foreign sender floods its port as fast as it can: the share of the peer's
// datagrams delivered, the error lines logged a second during the flood, and
// the worker's CPU
// per rejected datagram against a bare recvfrom loop's CPU per datagram on
// the same flood.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "BareSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDuration = std::chrono::seconds(3);
constexpr int kPeerPerMillisecond = 20;  // 20,000 a second

// Notes when each error line is logged, and counts the datagrams they stand
// for: one each, or the count a "Suppressed" line reports.
class ErrorLineCounter {
public:
    ErrorLineCounter() {
        velmora::LogControl::setCapture([this](velmora::LogLevel level, const std::string& line) {
            static const std::string suppressed = "[UDPServer] Suppressed ";
            if (level != velmora::LogLevel::Error) return;
            times.push_back(Clock::now());
            judged += line.compare(0, suppressed.size(), suppressed) == 0
                          ? std::atol(line.c_str() + suppressed.size())
                          : 1;
        });
    }
    ~ErrorLineCounter() { velmora::LogControl::setCapture({}); }

    // Lines logged a second between `from` and `to`.
    double rate(Clock::time_point from, Clock::time_point to) const {
        const auto within = std::count_if(times.begin(), times.end(), [&](Clock::time_point t) {
            return t >= from && t < to;
        });
        return double(within) / std::chrono::duration<double>(to - from).count();
    }
    long judged = 0;  // under the logger's lock

private:
    std::vector<Clock::time_point> times;  // under the logger's lock
};

// CPU time of another thread of this process, in nanoseconds.
long long cpuNanosOf(pthread_t thread) {
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &now) != 0) return 0;
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Counts what reaches the application and remembers the delivering thread.
class CountingDelegate : public UDPServerDelegate {
public:
    void messageReceived(const char*, std::uint64_t) override {
        if (count.load(std::memory_order_relaxed) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            worker = pthread_self();
        }
        count.fetch_add(1, std::memory_order_release);
    }
    pthread_t workerThread() {
        std::lock_guard<std::mutex> lock(mutex);
        return worker;
    }
    std::atomic<long> count{0};

private:
    std::mutex mutex;
    pthread_t worker{};
};

// Runs the flood against `port` and the paced peer stream for kDuration;
// returns how many datagrams the peer sent.
long runFlood(int port, const BareSocket& peer) {
    const std::string payload(64, 'x');
    std::atomic<bool> flooding{true};
    std::thread flooder([&] {
        const BareSocket socket;
        while (flooding.load(std::memory_order_relaxed)) {
            socket.sendTo(port, payload.data(), payload.size());
        }
    });
    long sent = 0;
    const Clock::time_point start = Clock::now();
    for (int ms = 0; Clock::now() - start < kDuration; ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        for (int i = 0; i < kPeerPerMillisecond; ++i, ++sent) {
            peer.sendTo(port, payload.data(), payload.size());
        }
    }
    flooding = false;
    flooder.join();
    return sent;
}

// Waits until `count` has stopped changing for a while.
void waitForQuiet(const std::atomic<long>& count) {
    long seen = -1;
    while (count.load() != seen) {
        seen = count.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void BM_ForeignFloodLibrary(benchmark::State& state) {
    for (auto _ : state) {
        const BareSocket peer;
        CountingDelegate delegate;
        const int port = freePort();
        UDPServer server("127.0.0.1", peer.port(), port);
        server.setDelegate(&delegate);
        ErrorLineCounter errors;
        server.start();
        peer.sendTo(port, "x", 1);  // the worker makes itself known
        while (delegate.count.load() == 0) std::this_thread::yield();
        const long long cpuBefore = cpuNanosOf(delegate.workerThread());
        const Clock::time_point start = Clock::now();
        const long sent = runFlood(port, peer) + 1;
        const Clock::time_point end = Clock::now();
        waitForQuiet(delegate.count);
        const long long cpu = cpuNanosOf(delegate.workerThread()) - cpuBefore;
        server.stop();  // reports what the last window held back
        state.counters["delivered_share"] = double(delegate.count.load()) / double(sent);
        state.counters["error_lines_per_s"] = errors.rate(start, end);
        state.counters["rejected"] = double(errors.judged);
        state.counters["cpu_ns_per_dgram"] = double(cpu) / double(errors.judged);  // rejected ones
    }
}

void BM_ForeignFloodBare(benchmark::State& state) {
    for (auto _ : state) {
        const BareSocket peer;
        std::atomic<long> received{0};
        std::atomic<bool> running{true};
        BareSocket socket;
        long long cpu = 0;
        std::thread receiver([&] {
            socket.setReceiveTimeout(50);
            char buffer[1024];
            const long long before = threadCpuNanos();
            while (running.load(std::memory_order_relaxed)) {
                if (socket.receive(buffer, sizeof buffer) >= 0) {
                    received.fetch_add(1, std::memory_order_relaxed);
                }
            }
            cpu = threadCpuNanos() - before;
        });
        runFlood(socket.port(), peer);
        waitForQuiet(received);
        running = false;
        receiver.join();
        state.counters["cpu_ns_per_dgram"] = double(cpu) / double(received.load());
    }
}

BENCHMARK(BM_ForeignFloodLibrary)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForeignFloodBare)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
