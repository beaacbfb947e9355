// Serving: an echo server made with the library (reply() from the delegate)
// against the bare echo loops a user writes by hand, recvfrom/sendto, and
// recvmmsg/sendmmsg of 32 at a time, in the same run. Several clients send
// bursts and wait for every answer; the serving thread's own CPU clock says
// what each answer cost it.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>

#include "BareSocket.h"

namespace {

constexpr int kClients = 4;
constexpr int kBurst = 32;  // datagrams per client per round
constexpr int kPayload = 64;

// The serving thread's CPU clock, published by that thread.
class ServingClock {
public:
    void publishFromThisThread() {
        clockid_t id;
        if (::pthread_getcpuclockid(::pthread_self(), &id) == 0) clock.store(id);
        known.store(true);
    }
    long long nanos() const {
        while (!known.load()) std::this_thread::yield();
        timespec now{};
        ::clock_gettime(clock.load(), &now);
        return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    }

private:
    std::atomic<clockid_t> clock{CLOCK_THREAD_CPUTIME_ID};
    std::atomic<bool> known{false};
};

class LibraryEcho {
public:
    // `limited`: with a reply limit that never bites.
    LibraryEcho(ServingClock& clock, bool limited = false) : delegate(clock) {
        server = std::make_unique<UDPServer>(0, "127.0.0.1");
        if (limited) {
            UDPServer::RateLimit limit;
            limit.perSecond = 1e9;
            limit.burst = 1e9;
            server->setReplyLimit(limit);
        }
        delegate.server = server.get();
        server->setDelegate(&delegate);
        server->start();
    }
    ~LibraryEcho() { server->stop(); }
    int port() const { return server->localPort(); }

private:
    struct Echoer : UDPServerDelegate {
        explicit Echoer(ServingClock& clock) : clock(clock) {}
        void messageReceived(const char* data, std::uint64_t size) override {
            if (!published) clock.publishFromThisThread();
            published = true;
            server->reply(data, size);
        }
        ServingClock& clock;
        UDPServer* server = nullptr;
        bool published = false;
    };
    Echoer delegate;
    std::unique_ptr<UDPServer> server;
};

// A thread that echoes until a datagram of one byte arrives.
class BareEcho {
public:
    BareEcho(ServingClock& clock, bool batched)
        : worker([this, &clock, batched] {
              clock.publishFromThisThread();
              batched ? runBatched() : runSingle();
          }) {}
    ~BareEcho() {
        BareSocket stopper;
        stopper.sendTo(socket.port(), "!", 1);
        worker.join();
    }
    int port() const { return socket.port(); }

private:
    void runSingle() {
        char buffer[1024];
        for (;;) {
            sockaddr_in6 from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(socketFd, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n == 1) return;
            if (n < 0) continue;
            ::sendto(socketFd, buffer, static_cast<std::size_t>(n), 0,
                     reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    void runBatched() {
        static char slots[32][1024];
        mmsghdr headers[32];
        iovec vectors[32];
        sockaddr_in6 senders[32];
        for (;;) {
            for (int i = 0; i < 32; ++i) {
                vectors[i] = {slots[i], sizeof slots[i]};
                headers[i] = {};
                headers[i].msg_hdr.msg_name = &senders[i];
                headers[i].msg_hdr.msg_namelen = sizeof senders[i];
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(socketFd, headers, 32, MSG_WAITFORONE, nullptr);
            if (n <= 0) continue;
            for (int i = 0; i < n; ++i) vectors[i].iov_len = headers[i].msg_len;
            if (headers[n - 1].msg_len == 1) return;
            ::sendmmsg(socketFd, headers, static_cast<unsigned>(n), 0);
        }
    }

    BareSocket socket;
    const int socketFd = socket.descriptor();
    std::thread worker;
};

template <typename Server>
void echo(benchmark::State& state, Server& server, ServingClock& clock) {
    const std::string payload(kPayload, 'e');
    std::vector<std::unique_ptr<BareSocket>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<BareSocket>());
        clients.back()->setReceiveTimeout(1000);
    }
    char answer[1024];
    long answers = 0, lost = 0;
    // Counted from the end of the first round, once the serving thread has
    // published its clock.
    long long cpuBefore = 0;
    bool first = true;
    for (auto _ : state) {
        for (auto& client : clients) {
            for (int sent = 0; sent < kBurst;) {
                sent += client->sendManyTo(server.port(), payload.data(), payload.size(),
                                           kBurst - sent);
            }
        }
        for (auto& client : clients) {
            for (int i = 0; i < kBurst; ++i) {
                if (client->receive(answer, sizeof answer) == kPayload) {
                    ++answers;
                } else {
                    ++lost;
                }
            }
        }
        if (first) {
            cpuBefore = clock.nanos();
            answers = 0;
            first = false;
        }
    }
    const long long cpu = clock.nanos() - cpuBefore;
    state.SetItemsProcessed(answers);
    state.counters["lost"] = double(lost);
    state.counters["cpu_ns_per_answer"] = answers ? double(cpu) / double(answers) : 0;
}

void BM_EchoLibrary(benchmark::State& state) {
    ServingClock clock;
    LibraryEcho server(clock);
    echo(state, server, clock);
}

void BM_EchoLibraryReplyLimit(benchmark::State& state) {
    ServingClock clock;
    LibraryEcho server(clock, true);
    echo(state, server, clock);
}

void BM_EchoBare(benchmark::State& state) {
    ServingClock clock;
    BareEcho server(clock, false);
    echo(state, server, clock);
}

void BM_EchoBareBatch(benchmark::State& state) {
    ServingClock clock;
    BareEcho server(clock, true);
    echo(state, server, clock);
}

BENCHMARK(BM_EchoLibrary)->UseRealTime();
BENCHMARK(BM_EchoLibraryReplyLimit)->UseRealTime();
BENCHMARK(BM_EchoBare)->UseRealTime();
BENCHMARK(BM_EchoBareBatch)->UseRealTime();

}  // namespace
