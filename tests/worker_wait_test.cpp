// Whatever the workers wait in, their event loop's wait on a quiet socket or
// the socket's receive while datagrams keep coming, stop() ends it, and the
// outcomes of application threads' sends, which the workers log without a
// wake-up for each, are all logged in order, soon and by the stop at the
// latest.
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

// Workers, and whether datagrams have just come (each worker then waits in
// its socket's receive) or not (in its loop).
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

    // The "Sent" lines expected of kSends datagrams of 1 to kSends bytes.
    static std::vector<std::string> expectedSentLines(const PeerSocket& peer) {
        std::vector<std::string> lines;
        for (int size = 1; size <= kSends; ++size) {
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
    void sendBurstTo(const PeerSocket& peer) {
        const std::string bytes(kSends, 's');
        const UDPServer::Endpoint to("127.0.0.1", peer.port());
        for (int size = 1; size <= kSends; ++size) {
            ASSERT_EQ(server->sendTo(to, bytes.data(), static_cast<std::uint64_t>(size)),
                      UDPServer::Ok);
        }
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

TEST_P(WorkerWaitTest, ABurstsSentLinesComeSoonInOrder) {
    PeerSocket peer;
    server->start();
    if (GetParam().justReceived) receiveFromSeveralSenders();
    sendBurstTo(peer);
    const auto sent = steady_clock::now();
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", kSends, milliseconds(5000)));
    EXPECT_LT(steady_clock::now() - sent, kPrompt);
    EXPECT_EQ(sentLines(), expectedSentLines(peer));
}

TEST_P(WorkerWaitTest, StopRightAfterABurstLogsAndCountsEverySend) {
    PeerSocket peer;
    server->start();
    if (GetParam().justReceived) receiveFromSeveralSenders();
    sendBurstTo(peer);
    server->stop();
    EXPECT_EQ(sentLines(), expectedSentLines(peer));
    const UDPServer::Counters counters = server->counters();
    EXPECT_EQ(counters.sendsAccepted, static_cast<std::uint64_t>(kSends));
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
