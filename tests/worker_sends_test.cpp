// Each worker sends its own answers: a reply's outcome is logged on the
// worker that received the request, the copies that wait for room are
// discarded by one stop line for the whole server, and application threads'
// sends keep each destination's order while the workers reply.
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "support/LogRecorder.h"
#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"

using dravik_test::PeerSocket;

namespace {

constexpr int kWorkers = 4;

// Answers each request, noting which thread delivered each sender's.
class Replier : public UDPServerDelegate {
public:
    explicit Replier(UDPServer& server, std::size_t size = 0) : server(server), size(size) {}
    void messageReceived(const char* data, std::uint64_t length) override {
        const std::string answer = size ? std::string(size, 'a') : std::string(data, length);
        server.reply(answer.data(), answer.size());
        std::lock_guard<std::mutex> lock(mutex);
        deliveredOn[server.sender().toString()] = std::this_thread::get_id();
        ++requests;
    }
    std::mutex mutex;
    std::map<std::string, std::thread::id> deliveredOn;
    int requests = 0;

private:
    UDPServer& server;
    const std::size_t size;
};

// A server with four workers where the system spreads a port, else skipped.
std::unique_ptr<UDPServer> serverWithWorkers() {
    auto server = std::make_unique<UDPServer>(0, "127.0.0.1");
    server->setWorkers(kWorkers);
    return server;
}

TEST(WorkerSendsTest, AReplysOutcomeIsLoggedOnTheWorkerThatTookTheRequest) {
    auto server = serverWithWorkers();
    if (server->workers() == 1) GTEST_SKIP() << "this system spreads no port over sockets";
    Replier replier(*server);
    server->setDelegate(&replier);
    // Who logged each "Sent" line, by the destination it names.
    std::mutex mutex;
    std::multimap<std::string, std::thread::id> sentOn;
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Debug);
    velmora::LogControl::setCapture([&](velmora::LogLevel, const std::string& line) {
        const std::string sent = "[UDPServer] Sent ";
        if (line.rfind(sent, 0) != 0) return;
        std::lock_guard<std::mutex> lock(mutex);
        sentOn.emplace(line.substr(line.find(" to ") + 4), std::this_thread::get_id());
    });
    server->start();
    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < 32; ++i) clients.push_back(std::make_unique<PeerSocket>());
    for (int round = 0; round < 5; ++round) {
        for (auto& client : clients) client->sendTo(server->localPort(), "q");
        for (auto& client : clients) ASSERT_TRUE(client->receive().has_value());
    }
    server->stop();
    velmora::LogControl::setCapture(nullptr);
    ASSERT_EQ(sentOn.size(), 32u * 5);
    std::set<std::thread::id> threads;
    for (const auto& [to, thread] : sentOn) {
        EXPECT_EQ(thread, replier.deliveredOn.at(to)) << to;
        threads.insert(thread);
    }
    EXPECT_GT(threads.size(), 1u);  // 32 senders over four sockets
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.sent, 32u * 5);
    EXPECT_EQ(c.sendsAccepted, c.sent);
}

// Two threads send numbered datagrams to destinations of their own while
// clients keep four workers replying; each destination gets its numbers in
// order, and every send is accounted for.
TEST(WorkerSendsTest, ApplicationThreadsKeepEachDestinationsOrderWhileWorkersReply) {
    auto server = serverWithWorkers();
    Replier replier(*server);
    server->setDelegate(&replier);
    server->start();
    std::atomic<bool> requesting{true};
    std::thread requests([&] {
        std::vector<std::unique_ptr<PeerSocket>> clients;
        for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<PeerSocket>());
        while (requesting.load()) {
            for (auto& client : clients) client->sendTo(server->localPort(), "q");
            for (auto& client : clients) client->receive(std::chrono::milliseconds(200));
        }
    });
    constexpr int kEach = 2000;
    PeerSocket destinations[2];
    // Each destination read as it is sent to, what came noted, so that no
    // receive buffer fills.
    std::vector<std::string> got[2];
    std::atomic<int> taken[2] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (got[t].size() < kEach) {
                const auto datagram = destinations[t].receive(std::chrono::seconds(5));
                if (!datagram) return;
                got[t].push_back(*datagram);
                ++taken[t];
            }
        });
        threads.emplace_back([&, t] {
            const UDPServer::Endpoint to("127.0.0.1", destinations[t].port());
            for (int n = 0; n < kEach; ++n) {
                const std::string text = std::to_string(n);
                // At most 100 in flight: well within a receive buffer.
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (n - taken[t].load() > 100 && std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::yield();
                }
                while (server->sendTo(to, text.data(), text.size()) != UDPServer::Ok) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 2; ++t) {
        ASSERT_EQ(got[t].size(), static_cast<std::size_t>(kEach)) << t;
        for (int n = 0; n < kEach; ++n) ASSERT_EQ(got[t][n], std::to_string(n)) << t;
    }
    requesting.store(false);
    requests.join();
    server->stop();
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded + c.waitingDatagrams);
}

// On a slow link, large replies from every worker wait as copies; the stop
// that cuts their drain short discards them all in one line.
TEST(WorkerSendsTest, CopiesThatWaitOnEveryWorkerAreDiscardedInOneLine) {
    dravik_test::NetworkNamespace link(
        "ip link set lo up && tc qdisc add dev lo root tbf rate 1mbit burst 10kb limit 20mb");
    if (!link.skipReason.empty()) GTEST_SKIP() << link.skipReason;
    auto server = serverWithWorkers();
    Replier replier(*server, 8000);
    server->setDelegate(&replier);
    dravik_test::LogRecorder log;
    server->start();
    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < 32; ++i) clients.push_back(std::make_unique<PeerSocket>());
    for (int round = 0; round < 8; ++round) {
        for (auto& client : clients) client->sendTo(server->localPort(), "q");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server->counters().delivered < 32 * 8 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server->stop();
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.delivered, 32u * 8);
    EXPECT_GT(c.sendsDiscarded, 0u);
    EXPECT_EQ(c.waitingDatagrams, 0u);
    EXPECT_EQ(c.sendsAccepted + c.sendsQueueFull, 32u * 8);
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded);
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Discarded ").size(), 1u);
    EXPECT_EQ(log.count(velmora::LogLevel::Error, "[UDPServer] Discarded " +
                                                      std::to_string(c.sendsDiscarded) +
                                                      " waiting datagrams on port 0"),
              1u);
}

// Workers replying while other threads send, stop and start: for the
// sanitizers; every send is accounted for.
TEST(WorkerSendsTest, RepliesAndSendsRaceStopsAndStarts) {
    auto server = serverWithWorkers();
    Replier replier(*server);
    server->setDelegate(&replier);
    server->start();
    std::atomic<bool> going{true};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        PeerSocket client;
        while (going.load()) client.sendTo(server->localPort(), "q");
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            PeerSocket sink;
            const UDPServer::Endpoint to("127.0.0.1", sink.port());
            while (going.load()) server->sendTo(to, "s", 1);
        });
    }
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server->stop();
        server->start();
    }
    going.store(false);
    for (std::thread& thread : threads) thread.join();
    server->stop();
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded);
    EXPECT_EQ(c.received, c.delivered);
}

}  // namespace
