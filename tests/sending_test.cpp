#include <cstring>
#include <memory>
#include <ostream>
#include <string>

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

TEST_P(SendRefusalTest, ReturnsItsCodeAndLogsItsLineOnly) {
    const RefusalCase c = GetParam();
    int port = 0;
    auto server = c.remoteAddress ? dravik_test::peerServer(c.remoteAddress, 9, port)
                                  : dravik_test::receiveOnlyServer(port);
    if (c.state != State::Constructed) server->start();
    if (c.state == State::Stopped) server->stop();

    LogRecorder log;
    EXPECT_EQ(server->send("x", 1), c.expected);
    const LogLine refusal{LogLevel::Error, c.line};
    EXPECT_EQ(log.lines(), std::vector<LogLine>{refusal});
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

// Windows reports a datagram sent to a closed port as a failure of the
// socket's next receive; Linux tells an unconnected socket nothing. Either way
// the server keeps receiving.
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
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent "));
    const std::string receiveError =
        "[UDPServer] Error receiving data on port " + std::to_string(port) + ": ";
#ifdef _WIN32
    ASSERT_TRUE(log.waitForLines(receiveError));
#endif

    PeerSocket peer("127.0.0.1", closedPort);
    peer.sendTo(port, "here now");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"here now"});
#ifndef _WIN32
    EXPECT_TRUE(log.linesStartingWith(receiveError).empty());
#endif
}

}  // namespace
