#include <chrono>
#include <stdexcept>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using dravik_test::LogLine;
using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;
using velmora::LogLevel;

namespace {

const std::string kForeignSender = "[UDPServer] Remote sender endpoint ";

class ReceptionTest : public ::testing::Test {
protected:
    void startReceiveOnly() { start(dravik_test::receiveOnlyServer(port)); }
    void startPeer(const std::string& remoteAddress, int remotePort) {
        start(dravik_test::peerServer(remoteAddress, remotePort, port));
    }
    void start(std::unique_ptr<UDPServer> created) {
        server = std::move(created);
        server->setDelegate(&delegate);
        server->start();
    }
    std::string receivedLine(const std::string& payload) const {
        return "[UDPServer] Received message on port " + std::to_string(port) + ": " + payload;
    }

    LogRecorder log;
    RecordingDelegate delegate;
    PeerSocket peer;
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

TEST_F(ReceptionTest, ReceiveOnlyModeAcceptsAnySenderAndLogsEachPayload) {
    startReceiveOnly();
    PeerSocket other;
    peer.sendTo(port, "from one");
    ASSERT_TRUE(delegate.waitForCount(1));
    other.sendTo(port, "from another");
    ASSERT_TRUE(delegate.waitForCount(2));
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"from one", "from another"}));
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Received"),
              (std::vector<LogLine>{{LogLevel::Debug, receivedLine("from one")},
                                    {LogLevel::Debug, receivedLine("from another")}}));
}

TEST_F(ReceptionTest, PeerModeRejectsAnotherPortThenStillAcceptsThePeer) {
    PeerSocket stranger;
    startPeer("127.0.0.1", peer.port());
    stranger.sendTo(port, "intruder");
    ASSERT_TRUE(log.waitForLines(kForeignSender));
    peer.sendTo(port, "welcome");
    ASSERT_TRUE(delegate.waitForCount(1));

    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"welcome"});
    const LogLine rejected{LogLevel::Error, kForeignSender + "127.0.0.1:" +
                                                std::to_string(stranger.port()) +
                                                " is different than specified: 127.0.0.1:" +
                                                std::to_string(peer.port())};
    EXPECT_EQ(log.linesStartingWith(kForeignSender), std::vector<LogLine>{rejected});
}

TEST_F(ReceptionTest, PeerModeRejectsTheRightPortFromAnotherAddress) {
    startPeer("127.0.0.2", peer.port());
    peer.sendTo(port, "wrong address");
    ASSERT_TRUE(log.waitForLines(kForeignSender));
    EXPECT_EQ(delegate.count(), 0u);
}

TEST_F(ReceptionTest, PeerModeWithUnspecifiedRemoteRejectsEverything) {
    startPeer("0.0.0.0", peer.port());
    peer.sendTo(port, "nobody matches 0.0.0.0");
    ASSERT_TRUE(log.waitForLines(kForeignSender));
    EXPECT_EQ(delegate.count(), 0u);
}

TEST_F(ReceptionTest, EmptyDatagramIsLoggedNotDeliveredAndReceptionGoesOn) {
    startReceiveOnly();
    peer.sendTo(port, "");
    ASSERT_TRUE(log.waitForLines("[UDPServer] Zero bytes received"));
    peer.sendTo(port, "next");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"next"});
    EXPECT_EQ(log.count(LogLevel::Error, "[UDPServer] Zero bytes received"), 1u);
}

TEST_F(ReceptionTest, EmptyDatagramFromForeignSenderIsReportedAsForeign) {
    PeerSocket stranger;
    startPeer("127.0.0.1", peer.port());
    stranger.sendTo(port, "");
    ASSERT_TRUE(log.waitForLines(kForeignSender));
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Zero bytes").empty());
}

TEST_F(ReceptionTest, PayloadWithZeroBytesIsLoggedAndDeliveredWhole) {
    startReceiveOnly();
    const std::string payload("a\0b\0\0c\n", 7);
    peer.sendTo(port, payload);
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{payload});
    EXPECT_EQ(log.count(LogLevel::Debug, receivedLine(payload)), 1u);
}

TEST_F(ReceptionTest, WithoutDelegateDatagramsAreLoggedAndDropped) {
    server = dravik_test::receiveOnlyServer(port);
    server->start();
    peer.sendTo(port, "dropped");
    peer.sendTo(port, "dropped too");
    EXPECT_TRUE(log.waitForLines(receivedLine("dropped too")));
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Received").size(), 2u);
}

TEST_F(ReceptionTest, DatagramsSentBeforeStartAreReceivedOnceStarted) {
    server = dravik_test::receiveOnlyServer(port);
    server->setDelegate(&delegate);
    peer.sendTo(port, "early");
    server->start();
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"early"});
}

struct ThrowCase {
    const char* name;
    void (*raise)();
    const char* logged;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class DelegateExceptionTest : public ReceptionTest,
                              public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(DelegateExceptionTest, IsLoggedAndTheNextDatagramIsStillDelivered) {
    delegate.onMessage = [](const std::string& message) {
        if (message == "throw") GetParam().raise();
    };
    startReceiveOnly();
    peer.sendTo(port, "throw");
    const std::string line =
        "[UDPServer] Error on worker thread on port " + std::to_string(port) + ": ";
    ASSERT_TRUE(log.waitForLines(line));
    peer.sendTo(port, "after");
    ASSERT_TRUE(delegate.waitForCount(2));
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"throw", "after"}));
    EXPECT_EQ(log.count(LogLevel::Error, line + GetParam().logged), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    StandardAndOther, DelegateExceptionTest,
    ::testing::Values(ThrowCase{"runtime_error", [] { throw std::runtime_error("boom"); }, "boom"},
                      ThrowCase{"int", [] { throw 42; }, "unknown exception"}),
    [](const ::testing::TestParamInfo<ThrowCase>& info) { return std::string(info.param.name); });

// Two senders flood the server while its delegate is slow; stop() lands in the
// middle. The delegate must never overlap itself nor be called after stop().
TEST_F(ReceptionTest, DelegateIsNeverConcurrentAndNeverCalledAfterStop) {
    delegate.onMessage = [](const std::string&) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    startReceiveOnly();
    auto flood = [this] {
        PeerSocket sender;
        for (int i = 0; i < 300; ++i) sender.sendTo(port, "datagram " + std::to_string(i));
    };
    std::thread first(flood), second(flood);
    ASSERT_TRUE(delegate.waitForCount(50));
    server->stop();
    delegate.closed();
    first.join();
    second.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    EXPECT_EQ(delegate.overlappingCalls(), 0);
    EXPECT_EQ(delegate.lateCalls(), 0);
}

struct SizeCase {
    std::size_t sent;
    std::size_t delivered;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.sent << " bytes sent"; }

class DatagramSizeTest : public ReceptionTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DatagramSizeTest, IsDeliveredWholeUpTo1024BytesAndCutBeyond) {
    startReceiveOnly();
    std::string payload(GetParam().sent, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    peer.sendTo(port, payload);
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages().front(), payload.substr(0, GetParam().delivered));
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Error").empty());
}

INSTANTIATE_TEST_SUITE_P(AroundTheBuffer, DatagramSizeTest,
                         ::testing::Values(SizeCase{1, 1}, SizeCase{1023, 1023},
                                           SizeCase{1024, 1024}, SizeCase{1025, 1024},
                                           SizeCase{9000, 1024}));

}  // namespace
