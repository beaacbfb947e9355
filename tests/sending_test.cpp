#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using dravik_test::LogLine;
using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;
using velmora::LogLevel;

namespace {

enum class State { Constructed, Running, Stopped };

struct RefusalCase {
    const char* name;
    const char* remoteAddress;  // null: receive-only
    State state;
    UDPServer::Error expected;
    const char* line;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

const char* const kReceiveOnlyLine = "[UDPServer] Error: Trying to send on receive-only UDP server";
const char* const kStoppedLine = "[UDPServer] Error: Trying to send on a stopped UDP server";
const char* const kNoRemoteLine = "[UDPServer] Error: No remote endpoint available to send data";

class SendRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

// A batch is refused as a whole, with one line.
TEST_P(SendRefusalTest, ReturnsItsCodeAndLogsItsLineOnly) {
    const RefusalCase c = GetParam();
    int port = 0;
    auto server = c.remoteAddress ? dravik_test::peerServer(c.remoteAddress, 9, port)
                                  : dravik_test::receiveOnlyServer(port);
    if (c.state != State::Constructed) server->start();
    if (c.state == State::Stopped) server->stop();

    LogRecorder log;
    EXPECT_EQ(server->send("x", 1), c.expected);
    const UDPServer::Datagram batch[] = {{"a", 1}, {"bc", 2}, {"d", 1}};
    UDPServer::Error refusal = UDPServer::Ok;
    EXPECT_EQ(server->send(batch, 3, &refusal), 0u);
    EXPECT_EQ(refusal, c.expected);
    const LogLine line{LogLevel::Error, c.line};
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{line, line}));
    EXPECT_EQ(server->counters().sendsAccepted, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRefusal, SendRefusalTest,
    ::testing::Values(
        RefusalCase{"ReceiveOnlyBeforeStart", nullptr, State::Constructed, UDPServer::ReceiveOnly,
                    kReceiveOnlyLine},
        RefusalCase{"ReceiveOnlyRunning", nullptr, State::Running, UDPServer::ReceiveOnly,
                    kReceiveOnlyLine},
        RefusalCase{"ReceiveOnlyAfterStop", nullptr, State::Stopped, UDPServer::ReceiveOnly,
                    kReceiveOnlyLine},
        RefusalCase{"PeerBeforeStart", "127.0.0.1", State::Constructed, UDPServer::NotRunning,
                    kStoppedLine},
        RefusalCase{"PeerAfterStop", "127.0.0.1", State::Stopped, UDPServer::NotRunning,
                    kStoppedLine},
        RefusalCase{"UnspecifiedIPv4Running", "0.0.0.0", State::Running,
                    UDPServer::NoRemoteEndpoint, kNoRemoteLine},
        RefusalCase{"UnspecifiedIPv4Stopped", "0.0.0.0", State::Stopped, UDPServer::NotRunning,
                    kStoppedLine},
        RefusalCase{"UnspecifiedIPv6Running", "::", State::Running, UDPServer::NoRemoteEndpoint,
                    kNoRemoteLine},
        RefusalCase{"UnspecifiedIPv6Stopped", "::", State::Stopped, UDPServer::NotRunning,
                    kStoppedLine}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// A running peer-mode server whose remote end is a plain socket.
class SendingTest : public ::testing::TestWithParam<const char*> {
protected:
    SendingTest() : peer(GetParam()) {
        server = dravik_test::peerServer(peer.address(), peer.port(), port);
        server->start();
    }
    std::string remoteText() const {
        const std::string address = peer.address();
        const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
        return host + ":" + std::to_string(peer.port());
    }

    LogRecorder log;
    PeerSocket peer;
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

TEST_P(SendingTest, LogsSendingAtOnceAndSentOnCompletion) {
    ASSERT_EQ(server->send("hello", 5), UDPServer::Ok);
    const LogLine sending{LogLevel::Debug, "[UDPServer] Sending message on port " +
                                               std::to_string(port) + " to " + remoteText()};
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Sen").front(), sending);

    EXPECT_EQ(peer.receive(), "hello");
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent "));
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Sen"),
              (std::vector<LogLine>{sending,
                                    {LogLevel::Debug, "[UDPServer] Sent 5 bytes to " + remoteText()}}));
}

TEST_P(SendingTest, EmptyDatagramIsSent) {
    ASSERT_EQ(server->send("", 0), UDPServer::Ok);
    EXPECT_EQ(peer.receive(), "");
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent "));
    EXPECT_EQ(log.count(LogLevel::Debug, "[UDPServer] Sent 0 bytes to " + remoteText()), 1u);
}

TEST_P(SendingTest, DatagramTooLargeForThePlatformReturnsOkAndLogsTheError) {
    const std::string huge(70000, 'x');
    ASSERT_EQ(server->send(huge.data(), huge.size()), UDPServer::Ok);
    const std::string prefix = "[UDPServer] Error sending data on port " + std::to_string(port) + ": ";
    ASSERT_TRUE(log.waitForLines(prefix));
    EXPECT_EQ(log.linesStartingWith(prefix).front().level, LogLevel::Error);
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Sent ").empty());
}

// The caller's buffer is overwritten and freed as soon as send returns; under
// AddressSanitizer any later read of it fails the test.
TEST_P(SendingTest, CallersBufferIsNotReadAfterSendReturns) {
    const std::string original = "bytes owned by the caller";
    auto buffer = std::make_unique<char[]>(original.size());
    std::memcpy(buffer.get(), original.data(), original.size());
    ASSERT_EQ(server->send(buffer.get(), original.size()), UDPServer::Ok);
    std::memset(buffer.get(), '#', original.size());
    buffer.reset();
    EXPECT_EQ(peer.receive(), original);
    EXPECT_TRUE(log.waitForLines("[UDPServer] Sent "));
}

// Runs of equal sizes, which may go as one segmented send, between
// datagrams of other sizes, empty ones and more than one system call takes.
TEST_P(SendingTest, BatchArrivesInOrderWithTheLinesOfSingleSends) {
    const std::size_t sizes[] = {100, 100, 100, 7, 0, 0, 1400, 1400, 1, 3000, 3000, 3000, 64};
    std::vector<std::string> payloads, sentLines, expectedSentLines;
    for (int round = 0; round < 6; ++round) {
        for (std::size_t size : sizes) payloads.emplace_back(size, char('a' + payloads.size() % 26));
    }
    std::vector<UDPServer::Datagram> batch;
    for (const std::string& p : payloads) {
        batch.push_back({p.data(), p.size()});
        expectedSentLines.push_back("[UDPServer] Sent " + std::to_string(p.size()) + " bytes to " +
                                    remoteText());
    }
    UDPServer::Error refusal = UDPServer::SendQueueFull;
    ASSERT_EQ(server->send(batch.data(), batch.size(), &refusal), batch.size());
    EXPECT_EQ(refusal, UDPServer::Ok);

    for (const std::string& expected : payloads) ASSERT_EQ(peer.receive(), expected);
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", payloads.size()));
    std::size_t sendingLines = 0;  // each datagram's comes before its "Sent" line
    for (const LogLine& line : log.linesStartingWith("[UDPServer] Sen")) {
        if (line.text.rfind("[UDPServer] Sending ", 0) == 0) {
            ++sendingLines;
        } else {
            sentLines.push_back(line.text);
            ASSERT_LE(sentLines.size(), sendingLines);
        }
    }
    EXPECT_EQ(sendingLines, payloads.size());
    EXPECT_EQ(sentLines, expectedSentLines);
    EXPECT_EQ(server->counters().sent, payloads.size());
}

INSTANTIATE_TEST_SUITE_P(IPv4AndIPv6, SendingTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

// Two peer-mode servers aimed at each other, on one family's loopback.
class ServerPairTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ServerPairTest, ExchangeDatagramsBothWays) {
    const std::string loopback = GetParam();
    RecordingDelegate atFirst, atSecond;  // outlive the servers
    dravik_test::PeerPair pair = dravik_test::peerPair(loopback);
    UDPServer* const first = pair.first.get();
    UDPServer* const second = pair.second.get();
    first->setDelegate(&atFirst);
    second->setDelegate(&atSecond);
    first->start();
    second->start();

    ASSERT_EQ(first->send("ping", 4), UDPServer::Ok);
    ASSERT_TRUE(atSecond.waitForCount(1));
    ASSERT_EQ(second->send("pong", 4), UDPServer::Ok);
    ASSERT_TRUE(atFirst.waitForCount(1));
    EXPECT_EQ(atSecond.messages(), std::vector<std::string>{"ping"});
    EXPECT_EQ(atFirst.messages(), std::vector<std::string>{"pong"});
}

INSTANTIATE_TEST_SUITE_P(IPv4AndIPv6, ServerPairTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

// A peer may send to a broadcast address (here loopback's own), and a server
// bound to the any-address receives it.
TEST(BroadcastTest, PeerSendsToABroadcastAddress) {
    RecordingDelegate delegate;  // outlives the servers
    int port = 0, peerPort = 0;
    auto listener = dravik_test::receiveOnlyServer(port);
    listener->setDelegate(&delegate);
    listener->start();
    auto peer = dravik_test::peerServer("127.255.255.255", port, peerPort);
    peer->start();
    LogRecorder log;
    ASSERT_EQ(peer->send("to everyone", 11), UDPServer::Ok);
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"to everyone"});
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Error sending data").empty());
}

// A datagram sent to a closed port is reported as an unreachable destination
// (Linux: from the error queue; Windows: the socket's next receive fails with
// it), never as a failed receive, and the server keeps receiving.
TEST(ClosedPortTest, ReceptionGoesOnAfterSendingToAClosedPort) {
    if (dravik_test::runningUnderWine()) {
        GTEST_SKIP() << "Wine's sockets do not report a port-unreachable reply on the next "
                        "receive as Windows does";
    }
    LogRecorder log;
    RecordingDelegate delegate;  // outlives the server
    const int closedPort = dravik_test::freeUdpPort();
    int port = 0;
    auto server = dravik_test::peerServer("127.0.0.1", closedPort, port);
    server->setDelegate(&delegate);
    server->start();

    ASSERT_EQ(server->send("anyone there?", 13), UDPServer::Ok);
    ASSERT_TRUE(log.waitForLines("[UDPServer] Destination 127.0.0.1:" +
                                 std::to_string(closedPort) + " unreachable on port "));

    PeerSocket peer("127.0.0.1", closedPort);
    peer.sendTo(port, "here now");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"here now"});
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Error receiving data").empty());
    EXPECT_EQ(server->counters().unreachablePort, 1u);
}

}  // namespace
