// Exposed to the internet: what judging a sender costs (the policy table
// with 0, 10 and 1,000 rules, a limit's bucket), what a flood of refused
// senders costs the server with the policy judged by the server and by the
// system's filter, beside an allowed sender at 20,000 datagrams a second; and
// what a reply limit costs an echo server, and what it lets a victim have.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>

#include "BareSocket.h"
#include "CountingDelegate.h"
#include "udp/PolicyTable.h"
#include "udp/RateLimiter.h"

namespace {

using Clock = std::chrono::steady_clock;

double nanosecondsEach(Clock::time_point start, benchmark::IterationCount iterations) {
    const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return iterations ? elapsed / double(iterations) : 0;
}

std::vector<SourceAddress> randomSenders(std::mt19937& random) {
    std::vector<SourceAddress> senders(4096);
    for (SourceAddress& s : senders) s.value.low = random();
    return senders;
}

void BM_PolicyCheck(benchmark::State& state) {
    std::mt19937 random(5);
    UDPServer::SenderPolicy policy;
    for (int i = 0; i < state.range(0); ++i) {
        const int length = 8 + static_cast<int>(random() % 25);
        SourceAddress at;
        at.value.low = random();
        const Wide first = at.value.masked(length, 32);
        const std::uint32_t v4 = static_cast<std::uint32_t>(first.low);
        policy.rules.push_back({random() % 2 ? UDPServer::Verdict::Allow : UDPServer::Verdict::Deny,
                                std::to_string(v4 >> 24) + "." + std::to_string(v4 >> 16 & 255) +
                                    "." + std::to_string(v4 >> 8 & 255) + "." +
                                    std::to_string(v4 & 255) + "/" + std::to_string(length)});
    }
    const PolicyTable table(policy);
    const std::vector<SourceAddress> senders = randomSenders(random);
    std::size_t next = 0;
    long allowed = 0;
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        allowed += table.allows(senders[next]);
        next = (next + 1) & (senders.size() - 1);
    }
    benchmark::DoNotOptimize(allowed);
    state.counters["ns_per_check"] = nanosecondsEach(start, state.iterations());
}

// Distinct /24s at a rate the limit never refuses: the hash, the bucket's
// load and its compare-and-swap.
void BM_LimitCheck(benchmark::State& state) {
    std::mt19937 random(6);
    UDPServer::RateLimit limit;
    limit.perSecond = 1e9;
    limit.burst = 1e9;
    RateLimiter limiter(limit, KeyedHash());
    const std::vector<SourceAddress> senders = randomSenders(random);
    std::size_t next = 0;
    std::int64_t now = 0;
    long passed = 0;
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        passed += limiter.take(senders[next], now += 1000) == RateLimiter::Outcome::Pass;
        next = (next + 1) & (senders.size() - 1);
    }
    benchmark::DoNotOptimize(passed);
    state.counters["ns_per_check"] = nanosecondsEach(start, state.iterations());
}

// A plain socket bound to `address` on loopback.
int boundSocket(const char* address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    return fd;
}

sockaddr_in loopbackPort(int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

void sendFrom(int fd, int port, const std::string& payload) {
    sockaddr_in to = loopbackPort(port);
    ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// 32 copies of `payload` with one sendmmsg, as a flood at full speed sends.
void sendManyFrom(int fd, int port, const std::string& payload) {
    sockaddr_in to = loopbackPort(port);
    iovec vector{const_cast<char*>(payload.data()), payload.size()};
    mmsghdr messages[32] = {};
    for (mmsghdr& m : messages) {
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &vector;
        m.msg_hdr.msg_iovlen = 1;
    }
    ::sendmmsg(fd, messages, 32, 0);
}

// 3 s of a flood (batches of 32) from four sockets of 127.0.0.2, which the policy refuses,
// beside 20,000 datagrams a second from 127.0.0.1; Arg 1 puts the policy in
// the system; Arg 2 too, but without the flood: what serving the allowed
// sender alone costs.
void BM_RefusedFlood(benchmark::State& state) {
    const bool inKernel = state.range(0) != 0;
    const bool flooded = state.range(0) != 2;
    for (auto _ : state) {
        CountingDelegate delegate;
        UDPServer server(0, "127.0.0.1");
        server.setDelegate(&delegate);
        UDPServer::SenderPolicy policy;
        policy.rules = {{UDPServer::Verdict::Deny, "127.0.0.2"}};
        policy.inKernel = inKernel;
        server.setSenderPolicy(policy);
        server.start();
        const int port = server.localPort();
        const int allowed = boundSocket("127.0.0.1");
        const std::string payload(64, 'x');
        sendFrom(allowed, port, payload);  // the worker makes itself known
        while (delegate.count.load() == 0) std::this_thread::yield();
        const long long cpuBefore = cpuNanosOf(delegate.workerThread());
        std::atomic<bool> flooding{true};
        std::thread flood([&] {
            int sockets[4];
            for (int& fd : sockets) fd = boundSocket("127.0.0.2");
            for (unsigned i = 0; flooded && flooding.load(std::memory_order_relaxed); ++i) {
                sendManyFrom(sockets[i % 4], port, payload);
            }
            for (int fd : sockets) ::close(fd);
        });
        long sent = 1;
        const Clock::time_point start = Clock::now();
        for (int ms = 0; Clock::now() - start < std::chrono::seconds(3); ++ms) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            for (int i = 0; i < 20; ++i, ++sent) sendFrom(allowed, port, payload);
        }
        flooding = false;
        flood.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long long cpu = cpuNanosOf(delegate.workerThread()) - cpuBefore;
        server.stop();
        ::close(allowed);
        const UDPServer::Counters c = server.counters();
        state.counters["allowed_share"] = double(delegate.count.load()) / double(sent);
        state.counters["worker_cpu_ms"] = double(cpu) / 1e6;
        state.counters["refused"] = double(c.rejectedByPolicy + (inKernel ? c.droppedBySystem : 0));
    }
}

// A victim at 127.0.0.5 whose address every request carries, at full speed,
// for 2 s, to an echo whose replies are limited to 1,000 a second and a burst
// of 1,000 per prefix: how many replies the victim gets against that budget.
void BM_ReflectionLimited(benchmark::State& state) {
    for (auto _ : state) {
        UDPServer server(0, "127.0.0.1");
        struct Echo : UDPServerDelegate {
            UDPServer* server = nullptr;
            void messageReceived(const char* data, std::uint64_t size) override {
                server->reply(data, size);
            }
        } echo;
        echo.server = &server;
        server.setDelegate(&echo);
        UDPServer::RateLimit limit;
        limit.perSecond = 1000;
        limit.burst = 1000;
        server.setReplyLimit(limit);
        server.start();
        const int victim = boundSocket("127.0.0.5");
        int buffer = 1 << 22;
        ::setsockopt(victim, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        const std::string payload(64, 'r');
        const Clock::time_point start = Clock::now();
        long requests = 0;
        while (Clock::now() - start < std::chrono::seconds(2)) {
            sendFrom(victim, server.localPort(), payload);
            ++requests;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.stop();
        long replies = 0;
        char answer[128];
        while (::recv(victim, answer, sizeof answer, MSG_DONTWAIT) > 0) ++replies;
        ::close(victim);
        state.counters["requests"] = double(requests);
        state.counters["replies"] = double(replies);
        state.counters["replies_vs_budget"] = double(replies) / (1000 * seconds + 1000);
    }
}

BENCHMARK(BM_PolicyCheck)->Arg(0)->Arg(10)->Arg(1000);
BENCHMARK(BM_LimitCheck);
BENCHMARK(BM_RefusedFlood)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReflectionLimited)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
