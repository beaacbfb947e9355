// Four application threads send thousands of datagrams through one peer-mode
// server to another while a fifth keeps swapping the receiver's delegate.
// Every datagram must arrive exactly once, intact and in its sender's order,
// and every send must be logged as sent.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/Servers.h"

namespace {

constexpr int kThreads = 4;
constexpr int kPerThread = 2500;
constexpr int kTotal = kThreads * kPerThread;
// Datagrams in flight at most: well inside a loopback socket's receive
// buffer, so the kernel has no reason to drop any.
constexpr int kWindow = 64;

// Delivery bookkeeping shared by the two delegates. Both are only ever called
// on the receiver's worker thread, one call at a time.
struct Ledger {
    std::array<int, kThreads> lastSequence{};
    std::vector<int> deliveries = std::vector<int>(kTotal, 0);
    std::atomic<int> received{0};
    std::atomic<int> malformed{0};
    std::atomic<int> outOfOrder{0};

    Ledger() { lastSequence.fill(-1); }

    void record(const std::string& message) {
        int thread = -1, sequence = -1;
        if (std::sscanf(message.c_str(), "t%d s%d", &thread, &sequence) != 2 || thread < 0 ||
            thread >= kThreads || sequence < 0 || sequence >= kPerThread ||
            message != payload(thread, sequence)) {
            ++malformed;
            return;
        }
        if (sequence <= lastSequence[thread]) ++outOfOrder;
        lastSequence[thread] = sequence;
        ++deliveries[thread * kPerThread + sequence];
        ++received;
    }

    static std::string payload(int thread, int sequence) {
        return "t" + std::to_string(thread) + " s" + std::to_string(sequence) + " " +
               std::string(static_cast<std::size_t>(sequence % 200), '.');
    }
};

class CountingDelegate : public UDPServerDelegate {
public:
    explicit CountingDelegate(Ledger& ledger) : ledger(ledger) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        ledger.record(std::string(data, static_cast<std::size_t>(size)));
        ++calls;
    }
    std::atomic<int> calls{0};

private:
    Ledger& ledger;
};

// Datagrams the kernel dropped for want of receive buffer, machine-wide; -1
// where the platform does not say.
long kernelReceiveBufferDrops() {
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0) continue;
        std::istringstream names(header), numbers(values);
        std::string name, number;
        while (names >> name && numbers >> number) {
            if (name == "RcvbufErrors") return std::stol(number);
        }
    }
    return -1;
}

TEST(SendStressTest, EveryDatagramFromFourThreadsIsAccountedFor) {
    dravik_test::LogRecorder log;
    Ledger ledger;
    CountingDelegate even(ledger), odd(ledger);
    dravik_test::PeerPair pair = dravik_test::peerPair("127.0.0.1");
    UDPServer* const sender = pair.first.get();
    UDPServer* const receiver = pair.second.get();
    receiver->setDelegate(&even);
    receiver->start();
    sender->start();
    const long dropsBefore = kernelReceiveBufferDrops();

    std::atomic<int> sent{0};
    std::atomic<int> refused{0};
    std::atomic<bool> sending{true};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int s = 0; s < kPerThread; ++s) {
                // Bounded rate: wait (at most a while) for the receiver to catch up.
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (sent - ledger.received > kWindow &&
                       std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::yield();
                }
                const std::string payload = Ledger::payload(t, s);
                if (sender->send(payload.data(), payload.size()) != UDPServer::Ok) ++refused;
                ++sent;
            }
        });
    }
    std::thread swapper([&] {
        for (int i = 0; sending; ++i) {
            receiver->setDelegate(i % 2 ? static_cast<UDPServerDelegate*>(&odd) : &even);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (std::thread& thread : senders) thread.join();

    // Wait for the stragglers, as long as they keep coming.
    int seen = -1;
    while (ledger.received < kTotal && ledger.received != seen) {
        seen = ledger.received;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    sending = false;
    swapper.join();
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", kTotal, std::chrono::seconds(10)));
    sender->stop();
    receiver->stop();

    EXPECT_EQ(refused, 0);
    EXPECT_EQ(ledger.malformed, 0);
    EXPECT_EQ(ledger.outOfOrder, 0);
    EXPECT_GT(even.calls, 0);
    EXPECT_GT(odd.calls, 0);
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Error").empty());
    for (int i = 0; i < kTotal; ++i) {
        ASSERT_LE(ledger.deliveries[i], 1) << "datagram " << i << " delivered twice";
    }

    const int missing = kTotal - ledger.received;
    if (missing > 0) {
        // Only datagrams the kernel owns up to dropping are excused.
        const long drops = kernelReceiveBufferDrops() - dropsBefore;
        ASSERT_GE(dropsBefore, 0) << missing << " datagrams missing, and no kernel count of drops";
        ASSERT_LE(missing, drops) << missing << " datagrams missing, more than the kernel dropped";
        std::printf("note: the kernel dropped %d of %d datagrams for want of receive buffer "
                    "(RcvbufErrors rose by %ld); none was lost by the library\n",
                    missing, kTotal, drops);
    }
}

}  // namespace
