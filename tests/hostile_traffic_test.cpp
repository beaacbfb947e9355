// Error lines that network input triggers are limited to 10 a second per
// server; what is held back is counted and reported, never lost.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;
using velmora::LogLevel;

namespace {

const std::string kSuppressed = "[UDPServer] Suppressed ";

class HostileTrafficTest : public ::testing::Test {
protected:
    void startPeerMode() { start(dravik_test::peerServer("127.0.0.1", peer.port(), port)); }
    void startReceiveOnly() { start(dravik_test::receiveOnlyServer(port)); }
    void start(std::unique_ptr<UDPServer> created) {
        server = std::move(created);
        server->setDelegate(&delegate);
        server->start();
    }
    std::string suppressedLine(int count) const {
        return kSuppressed + std::to_string(count) + " similar error lines on port " +
               std::to_string(port);
    }
    // Sum of the counts in the "Suppressed" lines so far.
    int suppressedTotal() const {
        int total = 0;
        for (const LogLine& line : log.linesStartingWith(kSuppressed)) {
            EXPECT_EQ(line.level, LogLevel::Error);
            total += std::atoi(line.text.c_str() + kSuppressed.size());
        }
        return total;
    }

    dravik_test::LogRecorder log;
    RecordingDelegate delegate;  // outlives the server
    PeerSocket peer, stranger;
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

struct FloodCase {
    const char* name;
    bool peerMode;
    const char* payload;  // from the stranger
    const char* line;     // the line each one triggers
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

class FloodTest : public HostileTrafficTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(FloodTest, GivesAtMostTenLinesASecondAndCountsTheRestWhileThePeerGetsThrough) {
    const FloodCase c = GetParam();
    c.peerMode ? startPeerMode() : startReceiveOnly();
    constexpr int kFlood = 300;
    for (int i = 0; i < kFlood; ++i) {
        stranger.sendTo(port, c.payload);
        if (i % 60 == 0) peer.sendTo(port, "peer " + std::to_string(i));
    }
    peer.sendTo(port, "last");  // delivered once the whole flood has been judged
    ASSERT_TRUE(delegate.waitForCount(6));
    server.reset();  // logs what the budget still holds

    const int logged = static_cast<int>(log.linesStartingWith(c.line).size());
    const int reports = static_cast<int>(log.linesStartingWith(kSuppressed).size());
    EXPECT_GE(logged, 10);
    EXPECT_LE(logged, 10 * (reports + 1));
    EXPECT_EQ(logged + suppressedTotal(), kFlood);
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"peer 0", "peer 60", "peer 120",
                                                             "peer 180", "peer 240", "last"}));
}

INSTANTIATE_TEST_SUITE_P(
    ForeignAndEmpty, FloodTest,
    ::testing::Values(FloodCase{"ForeignSenders", true, "intruder",
                                "[UDPServer] Remote sender endpoint "},
                      FloodCase{"EmptyDatagrams", false, "", "[UDPServer] Zero bytes received"}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return std::string(info.param.name); });

TEST_F(HostileTrafficTest, HeldBackCountIsReportedWithoutMoreTrafficThenLinesFlowAgain) {
    startPeerMode();
    for (int i = 0; i < 15; ++i) stranger.sendTo(port, "intruder");
    ASSERT_TRUE(log.waitForLines(kSuppressed, 1, std::chrono::seconds(3)));
    EXPECT_EQ(log.linesStartingWith(kSuppressed),
              (std::vector<LogLine>{{LogLevel::Error, suppressedLine(5)}}));

    stranger.sendTo(port, "after a quiet second");
    const std::string foreign = "[UDPServer] Remote sender endpoint 127.0.0.1:" +
                                std::to_string(stranger.port()) +
                                " is different than specified: 127.0.0.1:" +
                                std::to_string(peer.port());
    ASSERT_TRUE(log.waitForLines(foreign, 11));
    EXPECT_EQ(log.count(LogLevel::Error, foreign), 11u);
}

// The budget is the server's, not one run's: stop() leaves what it holds to
// the next report, the destructor's at the latest.
TEST_F(HostileTrafficTest, DestructionReportsWhatStopStillHeldBack) {
    startPeerMode();
    for (int i = 0; i < 15; ++i) stranger.sendTo(port, "intruder");
    peer.sendTo(port, "behind them");
    ASSERT_TRUE(delegate.waitForCount(1));
    server->stop();
    EXPECT_TRUE(log.linesStartingWith(kSuppressed).empty());
    server.reset();
    EXPECT_EQ(log.linesStartingWith(kSuppressed),
              (std::vector<LogLine>{{LogLevel::Error, suppressedLine(5)}}));
}

// Stopped and started without a pause under a foreign flood that also
// overflows the socket, the server logs no more error lines in any second
// than one run would (ten, and the report of what was held); its destruction
// then logs whatever is still held, so the lines add up to the counters.
TEST_F(HostileTrafficTest, BudgetHoldsAcrossQuickStopStartCycles) {
    startPeerMode();
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) stranger.sendTo(port, "intruder");
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
        server->stop();
        server->start();
    }
    flooding = false;
    flood.join();
    server->stop();
    const std::size_t worst = log.mostErrorLinesWithin(std::chrono::seconds(1));
    std::printf("at most %zu error lines in a second\n", worst);
    EXPECT_LE(worst, 11u);
    const UDPServer::Counters c = server->counters();
    server.reset();
    std::uint64_t dropped = 0;
    for (const LogLine& line : log.linesStartingWith("[UDPServer] ")) {
        unsigned long long n = 0;
        if (std::sscanf(line.text.c_str(), "[UDPServer] %llu datagrams dropped", &n) == 1) dropped += n;
    }
    EXPECT_EQ(dropped, c.droppedBySystem);
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Remote sender endpoint ").size() +
                  static_cast<std::size_t>(suppressedTotal()),
              c.rejectedForeign);
}

}  // namespace
