// Whatever the workers wait in (their loop, or their socket's receive while
// datagrams come), stop() ends it, and application threads' sends are logged
// in order, soon and by the stop at the latest.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"

using dravik_test::LogLine;
using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr int kSends = 300;
// Far beyond what the workers take to notice, even beside other load.
constexpr auto kPrompt = milliseconds(1500);

// Workers, and whether datagrams have just come (the workers then wait in
// their receive) or not (in their loop).
struct WaitCase {
    int workers;
    bool justReceived;
};

class WorkerWaitTest : public ::testing::TestWithParam<WaitCase> {
protected:
    void SetUp() override {
        server->setWorkers(GetParam().workers);
        server->setDelegate(&delegate);
    }

    // Datagrams from several senders, so that every worker may get some,
    // once they have all been delivered.
    void receiveFromSeveralSenders() {
        std::vector<std::unique_ptr<PeerSocket>> senders;
        for (int i = 0; i < 8; ++i) {
            senders.push_back(std::make_unique<PeerSocket>());
            for (int j = 0; j < 4; ++j) senders.back()->sendTo(server->localPort(), "ping");
        }
        ASSERT_TRUE(delegate.waitForCount(delivered += 32, std::chrono::seconds(5)));
    }

    // Sends kSends datagrams of 1 to kSends bytes to `peer`, and returns the
    // "Sent" lines they are to be logged with, in order.
    std::vector<std::string> sendBurstTo(const PeerSocket& peer) {
        const std::string bytes(kSends, 's');
        const UDPServer::Endpoint to("127.0.0.1", peer.port());
        std::vector<std::string> lines;
        for (int size = 1; size <= kSends; ++size) {
            EXPECT_EQ(server->sendTo(to, bytes.data(), static_cast<std::uint64_t>(size)),
                      UDPServer::Ok);
            lines.push_back("[UDPServer] Sent " + std::to_string(size) + " bytes to 127.0.0.1:" +
                            std::to_string(peer.port()));
        }
        return lines;
    }
    std::vector<std::string> sentLines() const {
        std::vector<std::string> texts;
        for (const LogLine& line : log.linesStartingWith("[UDPServer] Sent ")) {
            texts.push_back(line.text);
        }
        return texts;
    }

    LogRecorder log;
    RecordingDelegate delegate;  // outlives the server
    std::unique_ptr<UDPServer> server = std::make_unique<UDPServer>(0, "127.0.0.1");
    std::size_t delivered = 0;
};

TEST_P(WorkerWaitTest, StopEndsEveryWorkersWaitPromptly) {
    for (int round = 0; round < 5; ++round) {
        server->start();
        if (GetParam().justReceived) receiveFromSeveralSenders();
        const auto before = steady_clock::now();
        server->stop();
        EXPECT_LT(steady_clock::now() - before, kPrompt) << "round " << round;
    }
    EXPECT_EQ(server->counters().received, delivered);
}

// A burst's lines come soon, in order; a stop right after a second burst
// still logs and counts every send.
TEST_P(WorkerWaitTest, ABurstsSentLinesComeSoonInOrderAndAStopLeavesNone) {
    PeerSocket peer;
    server->start();
    if (GetParam().justReceived) receiveFromSeveralSenders();
    std::vector<std::string> expected = sendBurstTo(peer);
    const auto sent = steady_clock::now();
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", kSends, milliseconds(5000)));
    EXPECT_LT(steady_clock::now() - sent, kPrompt);
    EXPECT_EQ(sentLines(), expected);

    if (GetParam().justReceived) receiveFromSeveralSenders();
    const std::vector<std::string> second = sendBurstTo(peer);
    expected.insert(expected.end(), second.begin(), second.end());
    server->stop();
    EXPECT_EQ(sentLines(), expected);
    const UDPServer::Counters counters = server->counters();
    EXPECT_EQ(counters.sendsAccepted, static_cast<std::uint64_t>(2 * kSends));
    EXPECT_EQ(counters.sent + counters.sendsFailed + counters.sendsDiscarded,
              counters.sendsAccepted);
}

INSTANTIATE_TEST_SUITE_P(WorkersAndWaits, WorkerWaitTest,
                         ::testing::Values(WaitCase{1, false}, WaitCase{1, true},
                                           WaitCase{4, false}, WaitCase{4, true}),
                         [](const ::testing::TestParamInfo<WaitCase>& info) {
                             return std::to_string(info.param.workers) + "Workers" +
                                    (info.param.justReceived ? "InTheirReceive" : "InTheirLoop");
                         });

}  // namespace
