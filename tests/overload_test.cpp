// More traffic than the path can take: a link slower than the application
// (a network namespace of the test's own whose loopback a token bucket holds
// to 1 Mbit/s), and a receiver slower than its peer on plain loopback. Every
// datagram must be accounted for, and memory must stay bounded.
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"

// Every socket in this process reports a send buffer of 2 MiB, whatever the
// system gave it, so that the copies' bound (the figure the system reports)
// stands apart from both 256 KiB and half of it.
constexpr int kReportedSendBuffer = 2 * 1024 * 1024;

extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
    const long result = ::syscall(SYS_getsockopt, fd, level, name, value, length);
    if (result == 0 && level == SOL_SOCKET && name == SO_SNDBUF) {
        *static_cast<int*>(value) = kReportedSendBuffer;
    }
    return static_cast<int>(result);
}

namespace {

using dravik_test::LogRecorder;
using dravik_test::RecordingDelegate;
using std::chrono::milliseconds;

// A network namespace of the test's own whose loopback carries 1 Mbit/s.
class SlowLoopback : public dravik_test::NetworkNamespace {
public:
    SlowLoopback()
        : NetworkNamespace("ip link set lo up && tc qdisc add dev lo root tbf rate 1mbit "
                           "burst 10kb limit 20mb") {}
};

// Keeps the calling thread, and the threads it starts, on one processor, so
// that the system hands datagrams on loopback to the receiver in the order
// they left: from several processors it may reorder them.
class OneProcessor {
public:
    OneProcessor() {
        ::sched_getaffinity(0, sizeof original, &original);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(::sched_getcpu(), &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }
    ~OneProcessor() { ::sched_setaffinity(0, sizeof original, &original); }

private:
    cpu_set_t original;
};

unsigned long long figure(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

// The most the copies that wait for room may hold: the send buffer size a
// new UDP socket here gets, and at least 256 KiB.
std::uint64_t sendQueueBound() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(probe, SOL_SOCKET, SO_SNDBUF, &size, &length);
    ::close(probe);
    return std::max<std::uint64_t>(256 * 1024, static_cast<std::uint64_t>(size));
}

// A sender and a receiver on the slow link, both running, on one processor.
class SlowLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!link.skipReason.empty()) GTEST_SKIP() << link.skipReason;
        inOrder = std::make_unique<OneProcessor>();
        receiver = std::make_unique<UDPServer>(0, "127.0.0.1");
        receiver->setDelegate(&delegate);
        receiver->start();
        sender = std::make_unique<UDPServer>("127.0.0.1", receiver->localPort(), 0);
        sender->start();
    }

    SlowLoopback link;
    std::unique_ptr<OneProcessor> inOrder;
    LogRecorder log;
    RecordingDelegate delegate;  // outlives the servers
    std::unique_ptr<UDPServer> receiver, sender;
};

TEST_F(SlowLinkTest, SendsBeyondTheBoundAreRefusedAndEveryAcceptedOneIsAccountedFor) {

    // Two threads outrun the link for a second and a half, retrying a
    // refused datagram until it is taken.
    const std::uint64_t bound = sendQueueBound();
    std::atomic<std::uint64_t> accepted{0}, refused{0}, mostCharged{0};
    const auto until = std::chrono::steady_clock::now() + milliseconds(1500);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::string payload(1000, '.');
            for (int sequence = 0; std::chrono::steady_clock::now() < until;) {
                const std::string head = std::to_string(t) + " " + std::to_string(sequence) + " ";
                payload.replace(0, head.size(), head);
                if (sender->send(payload.data(), payload.size()) == UDPServer::Ok) {
                    ++accepted;
                    ++sequence;
                } else {
                    ++refused;
                    std::this_thread::sleep_for(milliseconds(1));
                }
                const UDPServer::Counters now = sender->counters();
                const std::uint64_t charged = now.waitingBytes + 64 * now.waitingDatagrams;
                if (charged > mostCharged) mostCharged = charged;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    sender->stop();

    const UDPServer::Counters c = sender->counters();
    std::printf("accepted %llu = sent %llu + failed %llu + discarded %llu; refused %llu; "
                "most waiting %llu of %llu bytes\n", figure(c.sendsAccepted), figure(c.sent),
                figure(c.sendsFailed), figure(c.sendsDiscarded), figure(c.sendsQueueFull),
                figure(mostCharged.load()), figure(bound));
    EXPECT_LE(mostCharged.load(), bound);
    EXPECT_GT(mostCharged.load(), bound * 3 / 4);  // the system's figure, not half of it
    EXPECT_GT(refused.load(), 0u);
    EXPECT_EQ(c.sendsQueueFull, refused.load());
    EXPECT_EQ(c.sendsAccepted, accepted.load());
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded);
    EXPECT_EQ(c.waitingDatagrams, 0u);
    EXPECT_FALSE(log.linesStartingWith("[UDPServer] Error: Send queue full on port ").empty());
    if (c.sendsDiscarded > 0) {
        EXPECT_EQ(log.count(velmora::LogLevel::Error,
                            "[UDPServer] Discarded " + std::to_string(c.sendsDiscarded) +
                                " waiting datagrams on port 0"),
                  1u);
    }

    // What the system took arrives, each thread's datagrams in its order.
    EXPECT_TRUE(delegate.waitForCount(c.sent, std::chrono::seconds(10)));
    receiver->stop();
    std::vector<int> next(2, 0);
    for (const std::string& message : delegate.messages()) {
        int thread = -1, sequence = -1;
        ASSERT_EQ(std::sscanf(message.c_str(), "%d %d", &thread, &sequence), 2);
        ASSERT_TRUE(thread == 0 || thread == 1);
        EXPECT_EQ(sequence, next[thread]++) << "thread " << thread;
    }
}

// A batch far larger than the link and the bound take: a prefix is accepted,
// the rest refused with SendQueueFull and one line, and what leaves arrives
// in the batch's order.
TEST_F(SlowLinkTest, BatchBeyondTheBoundIsAcceptedUpToIt) {

    std::vector<std::string> payloads;
    std::vector<UDPServer::Datagram> batch;
    for (std::uint64_t i = 0; i < 2 * sendQueueBound() / 1000; ++i) {
        payloads.push_back(std::to_string(i) + std::string(1000, '.'));
    }
    for (const std::string& p : payloads) batch.push_back({p.data(), p.size()});
    UDPServer::Error refusal = UDPServer::Ok;
    const std::size_t accepted = sender->send(batch.data(), batch.size(), &refusal);
    sender->stop();

    const UDPServer::Counters c = sender->counters();
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, batch.size());
    EXPECT_EQ(refusal, UDPServer::SendQueueFull);
    EXPECT_EQ(c.sendsQueueFull, 1u);
    EXPECT_EQ(c.sendsAccepted, accepted);
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded);
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Error: Send queue full on port ").size(), 1u);
    EXPECT_TRUE(delegate.waitForCount(c.sent, std::chrono::seconds(10)));
    receiver->stop();
    const std::vector<std::string> arrived = delegate.messages();
    ASSERT_EQ(arrived.size(), c.sent);
    for (std::size_t i = 0; i < arrived.size(); ++i) ASSERT_EQ(arrived[i], payloads[i]);
}

// The receive buffer a socket gets for the 4 MiB the server asks for, as the
// system reports it.
int receiveBufferAsGranted() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int asked = 4 * 1024 * 1024;
    ::setsockopt(probe, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(probe, SOL_SOCKET, SO_RCVBUF, &size, &length);
    ::close(probe);
    return size;
}

// The receiver's delegate stalls, twice, while its peer sends far more than
// the receive buffer holds: every datagram is either taken or counted as
// dropped by the system, once (the second time the count also rides on the
// datagrams), and the drop lines add up to the count.
TEST(SystemDropsTest, DatagramsTheSystemDropsAreCountedOnceAndLogged) {
    LogRecorder log;
    RecordingDelegate delegate;
    delegate.onMessage = [](const std::string& message) {
        if (message.size() == 1) std::this_thread::sleep_for(milliseconds(300));
    };
    UDPServer receiver(0, "127.0.0.1");
    receiver.setDelegate(&delegate);
    receiver.start();

    constexpr std::uint64_t kWave = 4000, kSent = 2 * kWave;
    dravik_test::PeerSocket peer;
    for (std::uint64_t wave = 1; wave <= 2; ++wave) {
        peer.sendTo(receiver.localPort(), std::to_string(wave));
        std::this_thread::sleep_for(milliseconds(50));  // the delegate now stalls
        for (std::uint64_t i = 1; i < kWave; ++i) {
            peer.sendTo(receiver.localPort(), std::string(1000, 'x'));
        }
        for (int i = 0; i < 1000; ++i) {
            const UDPServer::Counters c = receiver.counters();
            if (c.received + c.droppedBySystem >= wave * kWave) break;
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    receiver.stop();

    const UDPServer::Counters c = receiver.counters();
    if (c.droppedBySystem == 0) GTEST_SKIP() << "the receive buffer took all " << kSent;
    std::printf("sent %llu = taken %llu + dropped by the system %llu\n", figure(kSent),
                figure(c.received), figure(c.droppedBySystem));
    EXPECT_EQ(c.received + c.droppedBySystem, kSent);
    EXPECT_EQ(c.delivered, c.received);
    std::uint64_t logged = 0;
    std::size_t errorLines = 0;
    for (const auto& line : log.lines()) {
        if (line.level != velmora::LogLevel::Error) continue;
        ++errorLines;
        unsigned long long dropped = 0, bufferBytes = 0;
        int end = 0;
        if (std::sscanf(line.text.c_str(),
                        "[UDPServer] %llu datagrams dropped by the system on port 0: receive "
                        "buffer of %llu bytes full%n",
                        &dropped, &bufferBytes, &end) == 2 &&
            static_cast<std::size_t>(end) == line.text.size()) {
            logged += dropped;
            EXPECT_EQ(bufferBytes, figure(receiveBufferAsGranted()));
        }
    }
    EXPECT_EQ(logged, c.droppedBySystem);
    EXPECT_LE(errorLines, 11u);
}

// The system's own figures for the IPv4 socket bound to `port`, from
// /proc/net/udp: the bytes waiting in its queue and its drops.
bool kernelFigures(int port, unsigned long long& queued, unsigned long long& drops) {
    std::FILE* table = std::fopen("/proc/net/udp", "r");
    if (!table) return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table)) {
        unsigned localPort = 0;
        unsigned long long sent = 0;
        if (std::sscanf(line, " %*d: %*x:%x %*x:%*x %*x %llx:%llx %*x:%*x %*x %*u %*u %*u %*u %*x %llu",
                        &localPort, &sent, &queued, &drops) == 4 &&
            static_cast<int>(localPort) == port) {
            found = true;
        }
    }
    std::fclose(table);
    return found;
}

class LargeDropsTest : public ::testing::TestWithParam<int> {};

// Large datagrams fill the receive buffer far faster than their first 1,024
// bytes suggest: once a burst is over and the socket empty, the running
// server has counted and logged every drop the system made.
TEST_P(LargeDropsTest, CountedWhileRunningOnceTheSocketIsEmpty) {
    const std::string payload(static_cast<std::size_t>(GetParam()), 'L');
    LogRecorder log;
    RecordingDelegate delegate;
    delegate.onMessage = [](const std::string&) { std::this_thread::sleep_for(milliseconds(1)); };
    UDPServer receiver(0, "127.0.0.1");
    receiver.setDelegate(&delegate);
    receiver.start();
    dravik_test::PeerSocket peer;
    for (int i = 0; i < 1500; ++i) peer.sendTo(receiver.localPort(), payload);

    unsigned long long queued = 1, drops = 0;
    UDPServer::Counters c;
    for (int i = 0; i < 1000; ++i) {  // the socket and the batch empty, then a second at most
        ASSERT_TRUE(kernelFigures(receiver.localPort(), queued, drops));
        c = receiver.counters();
        if (queued == 0 && c.droppedBySystem == drops && c.received + drops == 1500) break;
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (drops == 0) GTEST_SKIP() << "the receive buffer took all 1500 datagrams";
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(c.droppedBySystem, drops);
    EXPECT_EQ(c.received + c.droppedBySystem, 1500u);
    unsigned long long logged = 0;
    for (const auto& line : log.linesStartingWith("[UDPServer] ")) {
        unsigned long long n = 0;
        if (std::sscanf(line.text.c_str(), "[UDPServer] %llu datagrams dropped", &n) == 1) logged += n;
    }
    EXPECT_EQ(logged, drops);
    std::printf("%d bytes: the system dropped %llu, counted while running %llu, logged %llu\n",
                GetParam(), drops, figure(c.droppedBySystem), logged);
    receiver.stop();
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeDropsTest, ::testing::Values(8000, 60000));

}  // namespace
