// Trains: a sender hands the system equal datagrams as one segmented send
// (UDP_SEGMENT). A server whose maximum is raised takes them as one train
// where the system coalesces (UDP_GRO) and splits it again; one left at the
// default takes them one by one. Either way each datagram arrives as if it
// had come alone: in order, with its bytes and sender, counted once.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/RecordingDelegate.h"

namespace {

// Sends `bytes` to `port` on loopback as one segmented send of `size`-byte
// datagrams; returns what sendmsg returned.
ssize_t sendSegmented(int socket, int port, const std::string& bytes, std::size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    iovec payload{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto segmentSize = static_cast<std::uint16_t>(size);
    std::memcpy(CMSG_DATA(segment), &segmentSize, sizeof segmentSize);
    return ::sendmsg(socket, &message, 0);
}

// A train of `count` datagrams of `size` bytes, the last `last` bytes long,
// each its own bytes, sent with one segmented send; returns the datagrams.
std::vector<std::string> sendTrain(int socket, int port, std::size_t count, std::size_t size,
                                   std::size_t last, char first) {
    std::vector<std::string> datagrams;
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) {
        datagrams.emplace_back(i + 1 == count ? last : size, static_cast<char>(first + i % 64));
        bytes += datagrams.back();
    }
    EXPECT_EQ(sendSegmented(socket, port, bytes, size), static_cast<ssize_t>(bytes.size()));
    return datagrams;
}

struct Shape {
    const char* name;
    std::uint64_t maxDatagram;  // 0: the default
    bool info;                  // every fact the system tells, the most control data
};

class TrainTest : public ::testing::TestWithParam<Shape> {};

TEST_P(TrainTest, EveryDatagramOfATrainArrivesAsIfAlone) {
    dravik_test::RecordingDelegate delegate;  // outlives the server
    UDPServer server(0, GetParam().info ? "0.0.0.0" : "127.0.0.1");
    if (GetParam().maxDatagram != 0) server.setMaxDatagramSize(GetParam().maxDatagram);
    server.setReceiveInfo(GetParam().info);
    const std::size_t most = static_cast<std::size_t>(server.maxDatagramSize());
    std::vector<std::string> senders;
    std::size_t told = 0;
    delegate.onMessage = [&](const std::string&) {
        senders.push_back(server.sender().toString());
        UDPServer::DatagramInfo info;
        server.readDatagramInfo(info);
        const bool all = info.trafficClass == 0 && info.hopLimit == 64 &&
                         info.receivedAt > 0 && info.interfaceIndex != 0;
        if (all) ++told;
    };
    server.setDelegate(&delegate);
    server.start();

    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    std::vector<std::string> sent;
    for (const auto& train : {sendTrain(sender, server.localPort(), 50, 1200, 1200, 'A'),
                              sendTrain(sender, server.localPort(), 11, 1000, 500, 'a'),
                              sendTrain(sender, server.localPort(), 64, 1, 1, '0')}) {
        sent.insert(sent.end(), train.begin(), train.end());
    }
    sockaddr_in self{};
    socklen_t length = sizeof self;
    ::getsockname(sender, reinterpret_cast<sockaddr*>(&self), &length);
    ::close(sender);

    ASSERT_TRUE(delegate.waitForCount(sent.size()));
    server.stop();
    std::vector<std::string> expected;
    std::uint64_t cut = 0;
    for (const std::string& datagram : sent) {
        expected.push_back(datagram.substr(0, most));
        cut += datagram.size() > most ? 1 : 0;
    }
    EXPECT_EQ(delegate.messages(), expected);
    EXPECT_EQ(senders, std::vector<std::string>(sent.size(), "127.0.0.1:" +
                                                                 std::to_string(ntohs(self.sin_port))));
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.received, sent.size());
    EXPECT_EQ(c.delivered, sent.size());
    EXPECT_EQ(c.truncated, cut);
    EXPECT_EQ(told, GetParam().info ? sent.size() : 0);
}

// Raised: trains where the system coalesces; the default: one by one. With
// every fact told, each train's control data is the most a receive carries.
INSTANTIATE_TEST_SUITE_P(RaisedAndDefault, TrainTest,
                         ::testing::Values(Shape{"Coalesced", 65535, false},
                                           Shape{"OneByOne", 0, false},
                                           Shape{"CoalescedWithEveryFact", 65535, true}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::string(info.param.name);
                         });

// The most segments the system takes in one send: it refuses more with
// EINVAL. Probed once, by sends to a socket of the test's own.
std::size_t largestSegmentCount() {
    static const std::size_t largest = [] {
        const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof self;
        ::bind(sink, reinterpret_cast<sockaddr*>(&self), sizeof self);
        ::getsockname(sink, reinterpret_cast<sockaddr*>(&self), &length);
        std::size_t accepted = 1;
        for (std::size_t count = 2; count <= 4096; count *= 2) {
            if (sendSegmented(sender, ntohs(self.sin_port), std::string(count, 'x'), 1) < 0) break;
            accepted = count;
        }
        for (std::size_t step = accepted / 2; step > 0; step /= 2) {
            if (sendSegmented(sender, ntohs(self.sin_port), std::string(accepted + step, 'x'), 1) >=
                0) {
                accepted += step;
            }
        }
        ::close(sender);
        ::close(sink);
        return accepted;
    }();
    return largest;
}

// The most a UDP datagram over IPv4 carries, and so a train.
constexpr std::size_t kMostTrainBytes = 65507;

// A train's shape: how many datagrams (0: the most the system takes), of how
// many bytes, and whether the last is shorter.
using TrainShape = std::tuple<std::size_t, std::size_t, bool>;

// A delegate that holds the worker inside its first delivery until opened,
// so that what is sent meanwhile queues up and the next fill takes a train
// into every area.
class GatedTrainTest : public ::testing::TestWithParam<TrainShape> {
protected:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            opened = true;
        }
        changed.notify_all();
    }
    void waitUntilOpen() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return opened; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

TEST_P(GatedTrainTest, EveryDatagramOnceInOrderWhetherQueuedOrSentAtARunningServer) {
    const std::size_t wantedCount = std::get<0>(GetParam());
    const std::size_t size = std::get<1>(GetParam());
    const bool shortLast = std::get<2>(GetParam());
    const std::size_t count = std::min(wantedCount == 0 ? largestSegmentCount() : wantedCount,
                                       kMostTrainBytes / size);
    const std::size_t last = shortLast ? size - size / 3 : size;
    // Queued: one more train than the batch has areas, each up to 64 KiB.
    // The system grants the server's socket twice this limit, and charges
    // a train somewhat more than its bytes.
    constexpr std::size_t kQueued = 17;
    std::ifstream limit("/proc/sys/net/core/rmem_max");
    std::size_t bufferLimit = 0;
    if (limit >> bufferLimit && bufferLimit < kQueued * count * size) {
        GTEST_SKIP() << "net.core.rmem_max (" << bufferLimit << ") cannot hold " << kQueued
                     << " trains of " << count * size << " bytes";
    }

    dravik_test::RecordingDelegate delegate;  // outlives the server
    delegate.onMessage = [this](const std::string& datagram) {
        if (datagram == "gate") waitUntilOpen();
    };
    UDPServer server(0, "127.0.0.1");
    server.setMaxDatagramSize(65535);
    server.setDelegate(&delegate);
    server.start();

    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    std::vector<std::string> sent{"gate"};
    ASSERT_EQ(sendSegmented(sender, server.localPort(), "gate", 4), 4);
    ASSERT_TRUE(delegate.waitForCount(1));
    auto sendTrains = [&](std::size_t trains) {
        for (std::size_t t = 0; t < trains; ++t) {
            const auto train = sendTrain(sender, server.localPort(), count, size, last,
                                         static_cast<char>('0' + t % 64));
            sent.insert(sent.end(), train.begin(), train.end());
        }
    };
    sendTrains(kQueued);
    open();
    ASSERT_TRUE(delegate.waitForCount(sent.size(), std::chrono::seconds(20)));
    sendTrains(4);
    ::close(sender);
    ASSERT_TRUE(delegate.waitForCount(sent.size(), std::chrono::seconds(20)));
    server.stop();

    EXPECT_TRUE(delegate.messages() == sent) << "datagrams lost, repeated, reordered or altered";
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.received, sent.size());
    EXPECT_EQ(c.delivered, sent.size());
    EXPECT_EQ(c.truncated, 0u);
    EXPECT_EQ(c.receiveErrors, 0u);
}

// Replies to a batch of trains (thousands of datagrams delivered in one go)
// leave as they accumulate, so none is refused for the copies' bound.
TEST_F(GatedTrainTest, EveryDatagramOfABatchOfTrainsIsAnswered) {
    dravik_test::RecordingDelegate delegate;  // outlives the server
    UDPServer server(0, "127.0.0.1");
    delegate.onMessage = [&](const std::string& datagram) {
        if (datagram == "gate") waitUntilOpen();
        server.reply(datagram.data(), datagram.size());
    };
    server.setMaxDatagramSize(65535);
    server.setDelegate(&delegate);
    server.start();
    const int client = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(client, 0);
    ASSERT_EQ(sendSegmented(client, server.localPort(), "gate", 4), 4);
    ASSERT_TRUE(delegate.waitForCount(1));
    constexpr std::size_t kTrains = 17, kCount = 128;
    for (std::size_t t = 0; t < kTrains; ++t) sendTrain(client, server.localPort(), kCount, 100, 100, 'a');
    open();
    const std::uint64_t all = 1 + kTrains * kCount;
    ASSERT_TRUE(delegate.waitForCount(all, std::chrono::seconds(20)));
    // The delegate records a datagram before it replies to it.
    for (int i = 0; i < 500 && server.counters().sendsAccepted < all; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server.stop();
    ::close(client);
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.sendsQueueFull, 0u);
    EXPECT_EQ(c.sendsAccepted, all);
    EXPECT_EQ(c.sent + c.sendsFailed + c.sendsDiscarded, all);
}

INSTANTIATE_TEST_SUITE_P(
    CountsAndSizes, GatedTrainTest,
    ::testing::Combine(::testing::Values<std::size_t>(1, 64, 128, 0),
                       ::testing::Values<std::size_t>(1, 100, 1200), ::testing::Bool()),
    [](const ::testing::TestParamInfo<TrainShape>& info) {
        const std::size_t count = std::get<0>(info.param);
        return (count == 0 ? std::string("Largest") : std::to_string(count)) + "x" +
               std::to_string(std::get<1>(info.param)) +
               (std::get<2>(info.param) ? "ShortLast" : "");
    });

}  // namespace
