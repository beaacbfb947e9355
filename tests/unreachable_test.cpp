// Destinations that cannot be reached: a port where no one listens, a reply
// to a client that has gone, a datagram larger than the path takes. Each is
// counted, logged and told to the listener, and the server goes on.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"
#include "support/UnreachableNotices.h"

using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using Reason = UDPServer::UnreachableReason;

namespace {

using Notices = dravik_test::UnreachableNotices;

struct Family {
    const char* name;
    const char* bind;      // the server's address
    const char* loopback;  // where clients are
    const char* setup;     // a namespace that has it; null: none needed
};

// A server on `family`'s wildcard address that records what it hears.
class UnreachableTest : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        if (dravik_test::runningUnderWine()) {
            GTEST_SKIP() << "Wine reports no ICMP port unreachable to a receive (WSAECONNRESET)";
        }
        const Family f = GetParam();
        if (f.setup) link = std::make_unique<dravik_test::NetworkNamespace>(f.setup);
        if (link && !link->skipReason.empty()) GTEST_SKIP() << link->skipReason;
        server = std::make_unique<UDPServer>(0, f.bind);
        server->setDelegate(&delegate);
        server->setUnreachableListener(&notices);
        server->start();
    }
    void TearDown() override {
        if (server) server->stop();
    }
    std::string unreachableLine(const UDPServer::Endpoint& to) const {
        return "[UDPServer] Destination " + to.toString() + " unreachable on port 0: " +
               std::make_error_code(std::errc::connection_refused).message();
    }
    // Whatever else happened, the server still delivers.
    void expectStillReceiving() {
        const std::size_t before = delegate.count();
        PeerSocket client(GetParam().loopback);
        client.sendTo(server->localPort(), "still here");
        ASSERT_TRUE(delegate.waitForCount(before + 1));
        EXPECT_EQ(delegate.messages().back(), "still here");
    }

    LogRecorder log;
    std::unique_ptr<dravik_test::NetworkNamespace> link;
    dravik_test::RecordingDelegate delegate;
    Notices notices;
    std::unique_ptr<UDPServer> server;
};

TEST_P(UnreachableTest, SendToAClosedPortIsReportedAndReceptionGoesOn) {
    const int closed = dravik_test::freeUdpPort();
    const UDPServer::Endpoint to(GetParam().loopback, closed);
    ASSERT_EQ(server->sendTo(to, "anyone?", 7), UDPServer::Ok);
    const auto heard = notices.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].destination, to);
    EXPECT_EQ(heard[0].reason, Reason::Port);
    EXPECT_EQ(heard[0].error, std::errc::connection_refused);
    EXPECT_EQ(heard[0].mtu, 0u);
    ASSERT_TRUE(log.waitForLines("[UDPServer] Destination "));
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Destination ")[0].text, unreachableLine(to));
    expectStillReceiving();
    // A second destination after the first: the socket holds no stale error
    // that would fail this send.
    ASSERT_EQ(server->sendTo(to, "again", 5), UDPServer::Ok);
    EXPECT_EQ(notices.waitFor(2).size(), 2u);
    server->stop();
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.unreachablePort, 2u);
    EXPECT_EQ(c.unreachableHost + c.unreachableTooBig + c.unreachableOther, 0u);
    EXPECT_EQ(c.receiveErrors, 0u);
    EXPECT_EQ(c.sent, 2u);
    EXPECT_EQ(c.sendsFailed, 0u);
}

// The client is gone by the time the reply leaves.
TEST_P(UnreachableTest, ReplyToAClientThatHasGoneIsReported) {
    std::mutex mutex;
    std::condition_variable gone;
    bool closed = false;
    delegate.onMessage = [&](const std::string& text) {
        if (text != "ask") return;
        std::unique_lock<std::mutex> lock(mutex);
        gone.wait(lock, [&] { return closed; });
        server->reply("answer", 6);
    };
    UDPServer::Endpoint client;
    {
        PeerSocket asker(GetParam().loopback);
        client = UDPServer::Endpoint(GetParam().loopback, asker.port());
        asker.sendTo(server->localPort(), "ask");
        ASSERT_TRUE(delegate.waitForCount(1));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    gone.notify_all();
    const auto heard = notices.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].destination, client);
    EXPECT_EQ(heard[0].reason, Reason::Port);
    expectStillReceiving();
    EXPECT_EQ(server->counters().unreachablePort, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Families, UnreachableTest,
    ::testing::Values(Family{"IPv4", "0.0.0.0", "127.0.0.1", nullptr},
                      Family{"IPv6", "::", "::1", "ip link set lo up"}),
    [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct Path {
    const char* name;
    const char* bind;
    const char* destination;  // beyond a route whose MTU is 1280, on a link of 1500
    const char* setup;
};

// A route with a smaller MTU than its link: what a datagram larger than the
// route takes meets, by fragmentation setting.
class PathTest : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        link = std::make_unique<dravik_test::NetworkNamespace>(GetParam().setup);
        if (!link->skipReason.empty()) GTEST_SKIP() << link->skipReason;
        server = std::make_unique<UDPServer>(0, GetParam().bind);
        server->setUnreachableListener(&notices);
    }
    void TearDown() override {
        if (server) server->stop();
    }
    UDPServer::Counters sendOne(std::size_t size) {
        const std::string bytes(size, 'x');
        EXPECT_EQ(server->sendTo(to, bytes.data(), bytes.size()), UDPServer::Ok);
        server->stop();  // logs every outcome
        const UDPServer::Counters c = server->counters();
        server->start();
        return c;
    }

    LogRecorder log;
    std::unique_ptr<dravik_test::NetworkNamespace> link;
    Notices notices;
    std::unique_ptr<UDPServer> server;
    const UDPServer::Endpoint to{GetParam().destination, 9};
};

// One line for the refused datagram: the send's own.
TEST_P(PathTest, DontFragmentRefusesWhatTheRouteCannotTakeAndSaysItsMtu) {
    server->setFragmentation(UDPServer::Fragmentation::DontFragment);
    server->start();
    UDPServer::Counters c = sendOne(1000);
    EXPECT_EQ(c.sent, 1u);
    c = sendOne(1400);
    EXPECT_EQ(c.sendsFailed, 1u);
    EXPECT_EQ(c.unreachableTooBig, 1u);  // counted by the time stop() returns
    EXPECT_EQ(log.count(velmora::LogLevel::Error,
                        "[UDPServer] Error sending data on port 0: " +
                            std::make_error_code(std::errc::message_size).message()),
              1u);
    const auto heard = notices.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].reason, Reason::TooBig);
    EXPECT_EQ(heard[0].mtu, 1280u);
    // IPv4 does not say the port of what this host refused itself.
    const UDPServer::Endpoint told(GetParam().destination, GetParam().bind[0] == ':' ? 9 : 0);
    EXPECT_EQ(heard[0].destination, told);
    EXPECT_EQ(server->counters().unreachableTooBig, 1u);
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Destination ").empty());
}

TEST_P(PathTest, TheSystemsDefaultFragments) {
    server->start();
    const UDPServer::Counters c = sendOne(1400);
    EXPECT_EQ(c.sent, 1u);
    EXPECT_EQ(c.sendsFailed, 0u);
}

// Probing ignores what the system knows of the path, not the link.
TEST_P(PathTest, ProbeSendsPastTheRoutesMtuUpToTheLinks) {
    server->setFragmentation(UDPServer::Fragmentation::Probe);
    server->start();
    UDPServer::Counters c = sendOne(1400);
    EXPECT_EQ(c.sent, 1u);
    c = sendOne(1600);
    EXPECT_EQ(c.sendsFailed, 1u);
    const auto heard = notices.waitFor(1);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].reason, Reason::TooBig);
    EXPECT_EQ(heard[0].mtu, 1500u);
}

INSTANTIATE_TEST_SUITE_P(
    Families, PathTest,
    ::testing::Values(
        Path{"IPv4", "0.0.0.0", "10.204.1.2",
             "ip link set lo up && ip link add tb0 type veth peer name tb1 && "
             "ip link set tb0 up && ip link set tb1 up && ip addr add 10.204.0.1/24 dev tb0 && "
             "ip route add 10.204.1.0/24 dev tb0 mtu 1280"},
        Path{"IPv6", "::", "fd05::2",
             "ip link set lo up && ip link add tb0 type veth peer name tb1 && "
             "ip link set tb0 up && ip link set tb1 up && "
             "ip -6 addr add fd04::1/64 dev tb0 nodad && "
             "ip -6 route add fd05::/64 dev tb0 mtu 1280"}),
    [](const ::testing::TestParamInfo<Path>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A storm of reports, far more than one step takes, beside a sender the
// server keeps receiving: every report is counted, every datagram delivered,
// and the error lines keep to their budget.
TEST(UnreachableStormTest, IsTakenInStepsBesideOrdinaryTraffic) {
    dravik_test::NetworkNamespace link(
        "ip link set lo up && sysctl -qw net.ipv4.icmp_msgs_per_sec=1000000 "
        "net.ipv4.icmp_msgs_burst=1000000 net.ipv4.icmp_ratelimit=0");
    if (!link.skipReason.empty()) GTEST_SKIP() << link.skipReason;
    LogRecorder log;
    dravik_test::RecordingDelegate delegate;
    UDPServer server(0, "127.0.0.1");
    server.setDelegate(&delegate);
    server.start();
    constexpr int kClosed = 1000;
    std::vector<UDPServer::AddressedDatagram> storm;
    for (int i = 0; i < kClosed; ++i) {
        storm.push_back({UDPServer::Endpoint("127.0.0.1", 20000 + i), "x", 1});
    }
    PeerSocket sender("127.0.0.1");
    for (int i = 0; i < kClosed; i += 100) {
        ASSERT_EQ(server.sendTo(storm.data() + i, 100), 100u);
        sender.sendTo(server.localPort(), std::to_string(i));
    }
    ASSERT_TRUE(delegate.waitForCount(kClosed / 100));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.counters().unreachablePort < kClosed &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.stop();
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.unreachablePort, static_cast<std::uint64_t>(kClosed));
    EXPECT_EQ(c.delivered, static_cast<std::uint64_t>(kClosed / 100));
    EXPECT_EQ(c.receiveErrors, 0u);
    EXPECT_EQ(c.sent, static_cast<std::uint64_t>(kClosed));
    EXPECT_LE(log.mostErrorLinesWithin(std::chrono::seconds(1)), 11u);
}

}  // namespace
