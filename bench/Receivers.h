#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include <benchmark/benchmark.h>

#include <dravik/UDPServer.h>

#include "BareSocket.h"

// Called on the receiving thread for every datagram delivered.
class Meter {
public:
    virtual ~Meter() = default;
    virtual void delivered() = 0;
};

// A receive-only UDPServer on a port of its own, bound to `localAddress`,
// reporting to a meter; `maxDatagram` raises the largest datagram it takes
// whole (0: the default).
// With `info`, the server is asked for each datagram's traffic class, hop
// limit and receive time, and the delegate reads them.
class LibraryReceiver {
public:
    explicit LibraryReceiver(Meter& meter, std::uint64_t maxDatagram = 0, bool info = false,
                             const char* localAddress = "0.0.0.0");
    ~LibraryReceiver();
    int port() const { return boundPort; }

private:
    class Delegate : public UDPServerDelegate {
    public:
        explicit Delegate(Meter& meter) : meter(meter) {}
        void messageReceived(const char*, std::uint64_t) override {
            if (informed != nullptr) {
                UDPServer::DatagramInfo info;
                informed->readDatagramInfo(info);
                benchmark::DoNotOptimize(info);
            }
            meter.delivered();
        }
        const UDPServer* informed = nullptr;

    private:
        Meter& meter;
    };
    Delegate delegate;
    int boundPort = 0;
    std::unique_ptr<UDPServer> server;
};

// A thread in a receive loop, the hand-written baseline: one blocking
// recvfrom per datagram; blocking recvmmsg of up to 32 at a time
// (MSG_WAITFORONE); the same asking for what the library's receive
// information asks (traffic class, TTL, receive time, arrival) and reading
// it from each datagram's control data; or an epoll wait, then non-blocking
// recvmmsg calls: edge-triggered one-shot (re-armed after every wake) or
// level-triggered (registered once) until the socket is empty, or
// level-triggered with one recvmmsg a wake.
class BareReceiver {
public:
    enum class Loop {
        Single,
        Batched,
        BatchedWithInfo,
        EdgeOneShotUntilEmpty,
        LevelUntilEmpty,
        LevelOncePerWake
    };
    explicit BareReceiver(Meter& meter, Loop loop = Loop::Single);
    ~BareReceiver();
    int port() const { return socket.port(); }

private:
    void run();
    void runWithInfo();
    void runPolled();
    Meter& meter;
    const Loop loop;
    BareSocket socket;
    std::atomic<bool> running{true};
    std::thread worker;
};

// The recvmmsg loop.
class BareBatchReceiver : public BareReceiver {
public:
    explicit BareBatchReceiver(Meter& meter) : BareReceiver(meter, Loop::Batched) {}
};

// The recvmmsg loop asking for the receive information.
class BareInfoReceiver : public BareReceiver {
public:
    explicit BareInfoReceiver(Meter& meter) : BareReceiver(meter, Loop::BatchedWithInfo) {}
};

// The epoll loops.
template <BareReceiver::Loop kind>
class BarePolledReceiver : public BareReceiver {
public:
    explicit BarePolledReceiver(Meter& meter) : BareReceiver(meter, kind) {}
};

// A thread in a blocking recvmsg loop on a socket that takes trains
// (UDP_GRO), counting each train's datagrams: what coalescing costs at least.
class BareTrainReceiver {
public:
    explicit BareTrainReceiver(Meter& meter);
    ~BareTrainReceiver();
    int port() const { return socket.port(); }

private:
    void run();
    Meter& meter;
    BareSocket socket;
    std::atomic<bool> running{true};
    std::thread worker;
};
