// Scaling over workers, where the senders do not compete with the receivers
// for the cores: datagrams from 64 senders are queued while nothing
// receives, then the receivers start and drain them. The library with 1 and 2
// workers against bare recvmmsg loops on 1 socket and on 2 SO_REUSEPORT
// sockets, one thread each. The same as an echo: each datagram answered, by
// reply() and by sendmmsg; with the share of the CPU each receiving thread
// spent against its share of the answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>

#include "BareSocket.h"

namespace {

constexpr int kSenders = 64;
constexpr int kPerSender = 128;
constexpr long kDatagrams = kSenders * kPerSender;
constexpr int kMaxThreads = 8;
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

long long processCpuNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Counts what each receiving thread took, and when it took its last, each
// thread on a cache line of its own, so that the meter adds no contention
// between receivers; the timing thread polls the sum.
class DrainMeter {
public:
    void reset() {
        generation.fetch_add(1);
        for (Slot& slot : slots) {
            slot.count.store(0);
            slot.lastTaken.store(0);
            slot.known.store(false);
            slot.spent.store(-1);
        }
        threads.store(0);
    }
    void took(long n) {
        thread_local unsigned seenGeneration = 0;
        thread_local Slot* slot = nullptr;
        const unsigned now = generation.load(std::memory_order_relaxed);
        if (seenGeneration != now) {
            seenGeneration = now;
            slot = &slots[std::min(threads.fetch_add(1), kMaxThreads - 1)];
        }
        if (slot->count.load(std::memory_order_relaxed) == 0) {
            clockid_t clock;
            if (::pthread_getcpuclockid(::pthread_self(), &clock) == 0) slot->clock.store(clock);
            slot->known.store(true);
        }
        slot->lastTaken.store(nowNanos(), std::memory_order_relaxed);
        slot->count.store(slot->count.load(std::memory_order_relaxed) + n,
                          std::memory_order_release);
    }
    // Whether all came; a second is ample for what a receive buffer holds.
    bool waitForAll() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (total() < kDatagrams) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return true;
    }
    // When the last datagram was taken, on nowNanos()'s clock.
    long long lastTaken() const {
        long long last = 0;
        for (const Slot& slot : slots) last = std::max(last, slot.lastTaken.load());
        return last;
    }
    // A thread that is about to end says what CPU it spent.
    void threadEnds() {
        for (Slot& slot : slots) {
            if (slot.known.load() && slot.clock.load() == ownClock()) slot.spent.store(cpuOf(ownClock()));
        }
    }
    // By how much the thread that took the most CPU over its share of the
    // datagrams went beyond it: its CPU share less its datagram share.
    double mostCpuBeyondShare() const {
        long long cpu[kMaxThreads] = {};
        long long all = 0;
        for (int i = 0; i < kMaxThreads; ++i) {
            if (!slots[i].known.load()) continue;
            const long long spent = slots[i].spent.load();
            cpu[i] = spent >= 0 ? spent : cpuOf(slots[i].clock.load());
            all += cpu[i];
        }
        double most = 0;
        for (int i = 0; i < kMaxThreads; ++i) {
            if (!slots[i].known.load() || all == 0) continue;
            most = std::max(most, double(cpu[i]) / double(all) -
                                      double(slots[i].count.load()) / double(kDatagrams));
        }
        return most;
    }
    // The busiest thread's share of the datagrams.
    double busiestShare() const {
        long most = 0;
        for (const Slot& slot : slots) most = std::max(most, slot.count.load());
        return double(most) / double(kDatagrams);
    }
    static long long nowNanos() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    long total() const {
        long sum = 0;
        for (const Slot& slot : slots) sum += slot.count.load(std::memory_order_acquire);
        return sum;
    }
    static clockid_t ownClock() {
        clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
        ::pthread_getcpuclockid(::pthread_self(), &clock);
        return clock;
    }
    static long long cpuOf(clockid_t clock) {
        timespec now{};
        ::clock_gettime(clock, &now);
        return now.tv_sec * 1000000000LL + now.tv_nsec;
    }
    struct alignas(64) Slot {
        std::atomic<long> count{0};
        std::atomic<long long> lastTaken{0};
        std::atomic<bool> known{false};
        std::atomic<clockid_t> clock{};
        std::atomic<long long> spent{-1};  // for a thread that has ended
    };
    Slot slots[kMaxThreads];
    std::atomic<unsigned> generation{1};
    std::atomic<int> threads{0};
};

// 64 senders on 127.0.0.1, each with its own port, so the system spreads them.
class Senders {
public:
    Senders() {
        for (int i = 0; i < kSenders; ++i) sockets.push_back(std::make_unique<BareSocket>());
    }
    void queue(int port) const {
        const std::string payload(64, 'x');
        for (int n = 0; n < kPerSender; ++n) {
            for (const auto& socket : sockets) socket->sendTo(port, payload.data(), payload.size());
        }
    }

private:
    std::vector<std::unique_ptr<BareSocket>> sockets;
};

// Times one drain: from the receivers' start to the last datagram taken.
template <typename Receivers>
void drain(benchmark::State& state, Receivers& receivers, DrainMeter& meter) {
    Senders senders;
    long long cpu = 0;
    double share = 0, beyond = 0;
    for (auto _ : state) {
        meter.reset();
        senders.queue(receivers.port());
        const long long cpuBefore = processCpuNanos();
        const long long started = DrainMeter::nowNanos();
        receivers.start();
        if (!meter.waitForAll()) {
            receivers.stop();
            state.SkipWithError("the system dropped some of the queued datagrams");
            break;
        }
        const double threadBeyond = meter.mostCpuBeyondShare();
        receivers.stop();
        cpu += processCpuNanos() - cpuBefore;
        share += meter.busiestShare();
        beyond += std::max(threadBeyond, meter.mostCpuBeyondShare());
        state.SetIterationTime(double(meter.lastTaken() - started) * 1e-9);
    }
    const double drained = double(state.iterations()) * kDatagrams;
    state.SetItemsProcessed(static_cast<int64_t>(drained));
    state.counters["cpu_ns_per_dgram"] = double(cpu) / drained;
    state.counters["busiest_share"] = share / double(state.iterations());
    state.counters["cpu_beyond_share"] = beyond / double(state.iterations());
}

class LibraryWorkers {
public:
    class Delegate : public UDPServerDelegate {
    public:
        Delegate(DrainMeter& meter, bool answers) : meter(meter), answers(answers) {}
        void messageReceived(const char* data, std::uint64_t size) override {
            if (answers) server->reply(data, size);
            meter.took(1);
        }
        UDPServer* server = nullptr;

    private:
        DrainMeter& meter;
        const bool answers;
    };

    LibraryWorkers(DrainMeter& meter, int workers, bool answers = false)
        : delegate(meter, answers) {
        server = std::make_unique<UDPServer>(freePort());
        delegate.server = server.get();
        server->setWorkers(workers);
        server->setDelegate(&delegate);
    }
    int port() const { return server->localPort(); }
    void start() { server->start(); }
    void stop() { server->stop(); }

private:
    Delegate delegate;
    std::unique_ptr<UDPServer> server;
};

// Sockets bound to one port on 127.0.0.1 (in a SO_REUSEPORT group when more
// than one), each drained by a thread of its own with recvmmsg until empty.
class BareWorkers {
public:
    BareWorkers(DrainMeter& meter, int count, bool answers = false)
        : meter(meter), answers(answers) {
        const int port = freePort();
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            const int on = 1;
            if (count > 1) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<unsigned short>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                throw std::runtime_error("bind");
            }
            descriptors.push_back(fd);
        }
        boundPort = port;
    }
    ~BareWorkers() {
        for (const int fd : descriptors) ::close(fd);
    }
    int port() const { return boundPort; }
    void start() {
        for (const int fd : descriptors) threads.emplace_back([this, fd] { run(fd); });
    }
    void stop() {
        for (auto& thread : threads) thread.join();
        threads.clear();
    }

private:
    void run(int fd) {
        static thread_local char slots[32][1024];
        mmsghdr headers[32];
        iovec buffers[32];
        sockaddr_in senders[32];
        for (;;) {
            for (int i = 0; i < 32; ++i) {
                buffers[i] = {slots[i], sizeof slots[i]};
                headers[i] = {};
                headers[i].msg_hdr.msg_iov = &buffers[i];
                headers[i].msg_hdr.msg_iovlen = 1;
                headers[i].msg_hdr.msg_name = &senders[i];
                headers[i].msg_hdr.msg_namelen = sizeof senders[i];
            }
            const int taken = ::recvmmsg(fd, headers, 32, MSG_DONTWAIT, nullptr);
            if (taken <= 0) break;  // drained
            if (answers) {
                for (int i = 0; i < taken; ++i) buffers[i].iov_len = headers[i].msg_len;
                ::sendmmsg(fd, headers, static_cast<unsigned>(taken), 0);
            }
            meter.took(taken);
        }
        meter.threadEnds();
    }

    DrainMeter& meter;
    const bool answers;
    std::vector<int> descriptors;
    std::vector<std::thread> threads;
    int boundPort = 0;
};

void BM_DrainLibrary(benchmark::State& state) {
    DrainMeter meter;
    LibraryWorkers receivers(meter, static_cast<int>(state.range(0)));
    drain(state, receivers, meter);
}

void BM_DrainBare(benchmark::State& state) {
    DrainMeter meter;
    BareWorkers receivers(meter, static_cast<int>(state.range(0)));
    drain(state, receivers, meter);
}

void BM_EchoDrainLibrary(benchmark::State& state) {
    DrainMeter meter;
    LibraryWorkers receivers(meter, static_cast<int>(state.range(0)), true);
    drain(state, receivers, meter);
}

void BM_EchoDrainBare(benchmark::State& state) {
    DrainMeter meter;
    BareWorkers receivers(meter, static_cast<int>(state.range(0)), true);
    drain(state, receivers, meter);
}

BENCHMARK(BM_DrainLibrary)->Arg(1)->Arg(2)->UseManualTime();
BENCHMARK(BM_DrainBare)->Arg(1)->Arg(2)->UseManualTime();
BENCHMARK(BM_EchoDrainLibrary)->Arg(1)->Arg(2)->UseManualTime();
BENCHMARK(BM_EchoDrainBare)->Arg(1)->Arg(2)->UseManualTime();

}  // namespace
