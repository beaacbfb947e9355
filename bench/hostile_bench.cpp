// A peer-mode server whose peer sends 20,000 datagrams a second while a
// foreign sender floods its port as fast as it can: the share of the peer's
// datagrams delivered, the error lines logged a second during the flood, and
// the worker's CPU per rejected datagram against a bare recvfrom loop's CPU
// per datagram on the same flood.
//
// An unreachable storm: a server sends to 10,000 closed ports as fast as it
// can, and each answers "port unreachable", while a sender sends it 20,000
// datagrams a second: the share of that sender's datagrams delivered against
// the share without the storm, and the error lines a second.
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
#include "CountingDelegate.h"
#include "support/NetworkNamespace.h"

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
    // The most lines logged within any second.
    long mostInAnySecond() const {
        long most = 0;
        for (auto first = times.begin(), last = times.begin(); last != times.end(); ++last) {
            while (*last - *first >= std::chrono::seconds(1)) ++first;
            most = std::max<long>(most, last - first + 1);
        }
        return most;
    }
    long judged = 0;  // under the logger's lock

private:
    std::vector<Clock::time_point> times;  // under the logger's lock
};

// Runs `disturb` on a thread of its own (until the flag it is given clears)
// beside the paced peer stream to `port`, for kDuration; returns how many
// datagrams the peer sent.
template <typename Disturbance>
long runBeside(int port, const BareSocket& peer, Disturbance disturb) {
    const std::string payload(64, 'x');
    std::atomic<bool> disturbing{true};
    std::thread disturber([&] { disturb(disturbing); });
    long sent = 0;
    const Clock::time_point start = Clock::now();
    for (int ms = 0; Clock::now() - start < kDuration; ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        for (int i = 0; i < kPeerPerMillisecond; ++i, ++sent) {
            peer.sendTo(port, payload.data(), payload.size());
        }
    }
    disturbing = false;
    disturber.join();
    return sent;
}

// A foreign sender floods `port` as fast as it can beside the peer.
long runFlood(int port, const BareSocket& peer) {
    return runBeside(port, peer, [port](const std::atomic<bool>& flooding) {
        const std::string payload(64, 'x');
        const BareSocket socket;
        while (flooding.load(std::memory_order_relaxed)) {
            socket.sendTo(port, payload.data(), payload.size());
        }
    });
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

// The storm runs in a network namespace of its own, where the system's
// limits on ICMP messages (1,000 a second by default) are lifted, so that
// every closed port answers.
void BM_UnreachableStorm(benchmark::State& state) {
    const bool storm = state.range(0) != 0;
    dravik_test::NetworkNamespace link(
        "ip link set lo up && sysctl -qw net.ipv4.icmp_msgs_per_sec=10000000 "
        "net.ipv4.icmp_msgs_burst=10000000 net.ipv4.icmp_ratelimit=0");
    if (!link.skipReason.empty()) {
        state.SkipWithError(link.skipReason.c_str());
        return;
    }
    for (auto _ : state) {
        const BareSocket peer;
        CountingDelegate delegate;
        UDPServer server(0, "127.0.0.1");
        server.setDelegate(&delegate);
        ErrorLineCounter errors;
        server.start();
        constexpr int kClosedPorts = 10000;
        std::vector<UDPServer::AddressedDatagram> closed;
        for (int i = 0; i < kClosedPorts; ++i) {
            closed.push_back({UDPServer::Endpoint("127.0.0.1", 30000 + i), "storm", 5});
        }
        const Clock::time_point start = Clock::now();
        const long sent = runBeside(server.localPort(), peer, [&](const std::atomic<bool>& on) {
            for (std::size_t next = 0; storm && on.load(std::memory_order_relaxed);) {
                const std::size_t count = std::min<std::size_t>(64, kClosedPorts - next);
                const std::size_t taken = server.sendTo(closed.data() + next, count);
                next = (next + taken) % kClosedPorts;
                if (taken < count) std::this_thread::yield();
            }
        });
        const Clock::time_point end = Clock::now();
        waitForQuiet(delegate.count);
        server.stop();
        const UDPServer::Counters c = server.counters();
        state.counters["delivered_share"] = double(delegate.count.load()) / double(sent);
        state.counters["error_lines_in_any_s"] = double(errors.mostInAnySecond());
        state.counters["unreachable_per_s"] =
            double(c.unreachablePort) / std::chrono::duration<double>(end - start).count();
        state.counters["storm_sent_per_s"] =
            double(c.sent) / std::chrono::duration<double>(end - start).count();
        state.counters["storm_failed"] = double(c.sendsFailed);
    }
}

BENCHMARK(BM_ForeignFloodLibrary)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnreachableStorm)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForeignFloodBare)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
