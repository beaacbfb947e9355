// Several workers on one port: every sender's datagrams delivered once and
// in order by one worker, replies from the socket that took the request,
// counters summed, and what a server with several workers refuses.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/Servers.h"

using dravik_test::PeerSocket;

namespace {

constexpr int kSenders = 64;
constexpr int kPerSender = 40;
// Datagrams each sender has in flight at most, so that even a system's
// smallest receive buffer holds all of them.
constexpr int kRoundsInFlight = 2;

// Records, per sender, the numbers it sent in the order they came and the
// threads that delivered them, and answers each with its own text.
class PerSenderLog : public UDPServerDelegate {
public:
    explicit PerSenderLog(UDPServer& server) : server(server) {}

    void messageReceived(const char* data, std::uint64_t size) override {
        const std::string text(data, size);
        const std::string from = server.sender().toString();
        const UDPServer::Error replied = server.reply(data, size);
        std::lock_guard<std::mutex> lock(mutex);
        if (replied != UDPServer::Ok) refusedReplies.insert(text);
        Sender& sender = senders[from];
        sender.numbers.push_back(std::stoi(text.substr(text.find(':') + 1)));
        sender.threads.insert(std::this_thread::get_id());
        threads.insert(std::this_thread::get_id());
        ++total;
    }

    void forgetThreads() {
        std::lock_guard<std::mutex> lock(mutex);
        threads.clear();
        for (auto& [from, sender] : senders) sender.threads.clear();
    }

    bool waitForTotal(int n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (total >= n) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    struct Sender {
        std::vector<int> numbers;
        std::set<std::thread::id> threads;
    };
    std::mutex mutex;
    std::map<std::string, Sender> senders;
    std::set<std::thread::id> threads;
    int total = 0;
    // A stop() while a delivery runs refuses its reply with NotRunning.
    std::set<std::string> refusedReplies;

private:
    UDPServer& server;
};

class WorkersTest : public ::testing::TestWithParam<int> {};

// Stopped and started again half-way, so what a batch left is delivered by
// the next start in order too.
TEST_P(WorkersTest, EachSendersDatagramsOnceInOrderOnOneWorkerWithRepliesFromItsSocket) {
    const int workers = GetParam();
    int port = 0;
    std::unique_ptr<UDPServer> server = dravik_test::onFreePort(
        [](int p) { return std::make_unique<UDPServer>(p, "0.0.0.0"); }, port);
    server->setWorkers(workers);
    PerSenderLog log(*server);
    server->setDelegate(&log);
    server->start();

    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < kSenders; ++i) clients.push_back(std::make_unique<PeerSocket>());
    for (int n = 0; n < kPerSender; ++n) {
        for (int i = 0; i < kSenders; ++i) {
            clients[i]->sendTo(port, std::to_string(i) + ":" + std::to_string(n));
        }
        if (n % kRoundsInFlight == kRoundsInFlight - 1) {
            ASSERT_TRUE(log.waitForTotal(kSenders * (n + 1))) << "round " << n;
        }
        if (n == kPerSender / 2) {
            server->stop();
            log.forgetThreads();  // a new thread may take an old one's id
            server->start();
        }
    }
    ASSERT_TRUE(log.waitForTotal(kSenders * kPerSender));
    server->stop();

    ASSERT_EQ(static_cast<int>(log.senders.size()), kSenders);
    std::vector<int> expected(kPerSender);
    for (int n = 0; n < kPerSender; ++n) expected[n] = n;
    for (const auto& [from, sender] : log.senders) {
        EXPECT_EQ(sender.numbers, expected) << from;
        EXPECT_EQ(sender.threads.size(), 1u) << from;
    }
    // 64 senders over N sockets: each socket gets some (the chance that one
    // gets none is below 1e-7).
    EXPECT_EQ(static_cast<int>(log.threads.size()), server->workers());
    EXPECT_LE(log.refusedReplies.size(), static_cast<std::size_t>(server->workers()));

    for (int i = 0; i < kSenders; ++i) {
        for (int n = 0; n < kPerSender; ++n) {
            const std::string text = std::to_string(i) + ":" + std::to_string(n);
            if (log.refusedReplies.count(text) != 0) continue;
            asio::ip::udp::endpoint from;
            const auto reply = clients[i]->receive(std::chrono::seconds(5), &from);
            ASSERT_TRUE(reply) << text;
            EXPECT_EQ(*reply, text);
            EXPECT_EQ(from, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"),
                                                    static_cast<unsigned short>(port)));
        }
    }
    const UDPServer::Counters c = server->counters();
    const std::uint64_t all = kSenders * kPerSender;
    EXPECT_EQ(c.received, all);
    EXPECT_EQ(c.delivered, all);
    EXPECT_EQ(c.droppedBySystem, 0u);
    EXPECT_EQ(c.sendsAccepted, all - log.refusedReplies.size());
    EXPECT_EQ(c.sent, c.sendsAccepted);
}

INSTANTIATE_TEST_SUITE_P(OneTwoFour, WorkersTest, ::testing::Values(1, 2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "Workers";
                         });

struct Raise {
    int workers;
    const char* bind;
    const char* loopback;
    bool queuedWhileStopped;  // half of the datagrams wait while the server is stopped
};

class RaiseTest : public ::testing::TestWithParam<Raise> {};

// Raising the workers: the system hashes each sender's later datagrams to a
// new socket while the first still holds its earlier ones. None is delivered
// out of its sender's order, none twice, none lost. Either the raise comes
// while senders go on sending, or half of each sender's datagrams were
// queued while stopped before the raise and the rest sent after it.
TEST_P(RaiseTest, KeepsEachSendersOrder) {
    const Raise r = GetParam();
    {
        UDPServer probe(0, r.bind);
        probe.setWorkers(2);
        if (probe.workers() == 1) GTEST_SKIP() << "this system spreads no port over sockets";
    }
    constexpr int kClients = 32;
    constexpr int kEach = 100;
    int port = 0;
    std::unique_ptr<UDPServer> server = dravik_test::onFreePort(
        [&](int p) { return std::make_unique<UDPServer>(p, r.bind); }, port);
    PerSenderLog log(*server);
    server->setDelegate(&log);
    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<PeerSocket>(r.loopback));
    const auto sendRound = [&](int n) {
        for (int i = 0; i < kClients; ++i) {
            clients[i]->sendTo(port, std::to_string(i) + ":" + std::to_string(n), r.loopback);
        }
    };
    if (r.queuedWhileStopped) {
        for (int n = 0; n < kEach / 2; ++n) sendRound(n);
        server->setWorkers(r.workers);
        for (int n = kEach / 2; n < kEach; ++n) sendRound(n);
        server->start();
    } else {
        server->start();
        std::atomic<int> round{0};
        std::thread sender([&] {
            for (int n = 0; n < kEach; ++n, ++round) {
                sendRound(n);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        while (round.load() < kEach / 2) std::this_thread::yield();
        server->stop();
        server->setWorkers(r.workers);
        server->start();
        sender.join();
    }
    ASSERT_TRUE(log.waitForTotal(kClients * kEach));
    server->stop();
    std::vector<int> expected(kEach);
    for (int n = 0; n < kEach; ++n) expected[n] = n;
    ASSERT_EQ(static_cast<int>(log.senders.size()), kClients);
    for (const auto& [from, sender] : log.senders) EXPECT_EQ(sender.numbers, expected) << from;
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.received, static_cast<std::uint64_t>(kClients * kEach));
    EXPECT_EQ(c.delivered, c.received);
    EXPECT_EQ(c.droppedBySystem, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Raises, RaiseTest,
    ::testing::Values(Raise{2, "0.0.0.0", "127.0.0.1", false}, Raise{3, "0.0.0.0", "127.0.0.1", false},
                      Raise{4, "0.0.0.0", "127.0.0.1", false}, Raise{3, "::", "127.0.0.1", false},
                      Raise{2, "0.0.0.0", "127.0.0.1", true}, Raise{4, "0.0.0.0", "127.0.0.1", true},
                      Raise{4, "::", "127.0.0.1", true}),
    [](const ::testing::TestParamInfo<Raise>& info) {
        return std::to_string(info.param.workers) + "Workers" +
               (info.param.bind[0] == ':' ? "DualStack" : "IPv4") +
               (info.param.queuedWhileStopped ? "QueuedWhileStopped" : "UnderTraffic");
    });

// Raised before its first start, on a quiet port: the older worker finds its
// socket empty at once, so the added ones begin without waiting for traffic.
TEST(RaiseIdleTest, EverySenderIsServedOneAfterAnotherFromTheStart) {
    UDPServer server(0, "127.0.0.1");
    server.setWorkers(4);
    PerSenderLog log(server);
    server.setDelegate(&log);
    server.start();
    for (int i = 0; i < 16; ++i) {
        PeerSocket client;
        client.sendTo(server.localPort(), std::to_string(i) + ":0");
        ASSERT_TRUE(log.waitForTotal(i + 1)) << "sender " << i;
    }
    server.stop();
}

// Whether `call` throws std::system_error with a code that compares equal to
// `expected` (a platform's own code included).
bool refusedWith(const std::function<void()>& call, std::errc expected) {
    try {
        call();
    } catch (const std::system_error& e) {
        return e.code() == expected;
    }
    return false;
}

TEST(WorkersRefusalTest, RefusesWhatCannotBeMadeRight) {
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    EXPECT_TRUE(refusedWith([&] { server->setWorkers(0); }, std::errc::invalid_argument));
    EXPECT_TRUE(refusedWith([&] { server->setWorkers(257); }, std::errc::invalid_argument));
    server->start();
    EXPECT_TRUE(refusedWith([&] { server->setWorkers(2); }, std::errc::operation_in_progress));
    server->stop();
    server->setWorkers(3);
    if (server->workers() == 1) {
        // A system that does not spread a port keeps one worker, whatever is asked.
        server->setWorkers(2);
        EXPECT_EQ(server->workers(), 1);
    } else {
        EXPECT_EQ(server->workers(), 3);
        EXPECT_TRUE(refusedWith([&] { server->setWorkers(2); }, std::errc::operation_not_supported));
    }

    int peerPort = 0;
    auto peer = dravik_test::peerServer("127.0.0.1", 9, peerPort);
    peer->setWorkers(1);
    EXPECT_TRUE(refusedWith([&] { peer->setWorkers(2); }, std::errc::operation_not_supported));
    EXPECT_EQ(peer->workers(), 1);

    std::unique_ptr<UDPServer> group;
    try {
        group = std::make_unique<UDPServer>(0, "239.255.0.7");
    } catch (const std::system_error& e) {
        GTEST_SKIP() << "cannot join a group here: " << e.what();
    }
    EXPECT_TRUE(refusedWith([&] { group->setWorkers(2); }, std::errc::operation_not_supported));
}

// A second server on the port is refused whether the first has one worker
// (no port group at all) or several (a group of this process's sockets).
TEST(WorkersRefusalTest, AnotherServerOnThePortIsStillRefused) {
    for (const int workers : {1, 4}) {
        int port = 0;
        auto server = dravik_test::receiveOnlyServer(port);
        server->setWorkers(workers);
        EXPECT_TRUE(refusedWith([&] { UDPServer second(port); }, std::errc::address_in_use)) << workers;
    }
}

// Counts deliveries, and answers the client's datagrams (not the server's
// own, which would loop).
class CountingResponder : public UDPServerDelegate {
public:
    explicit CountingResponder(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        total.fetch_add(1);
        if (data[0] == '0') server.reply(data, size);
    }
    std::atomic<std::uint64_t> total{0};

private:
    UDPServer& server;
};

// Starts, stops, sends and traffic from several threads at once on a server
// with four workers: nothing is lost from the counters' account.
TEST(WorkersRaceTest, StartStopAndSendsRaceCleanly) {
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    server->setWorkers(4);
    CountingResponder responder(*server);
    server->setDelegate(&responder);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        PeerSocket client;
        for (int n = 0; !done.load(); ++n) {
            client.sendTo(port, "0:" + std::to_string(n));
            if (n % 64 == 63) std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        const UDPServer::Endpoint to("127.0.0.1", port);
        while (!done.load()) server->sendTo(to, "1:0", 3);
    });
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                server->start();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                server->stop();
            }
        });
    }
    for (std::size_t i = 2; i < threads.size(); ++i) threads[i].join();
    done.store(true);
    threads[0].join();
    threads[1].join();
    server->stop();
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.received, c.delivered + c.rejectedForeign + c.rejectedEmpty + c.receiveErrors +
                              c.rejectedNotForGroup);
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded + c.waitingDatagrams);
    EXPECT_EQ(responder.total.load(), c.delivered);
}

// Answers with a reply and then a sendTo() to the same sender: whichever
// worker delivers, the held reply leaves first, though the sendTo() goes out
// through another socket at once.
class ReplyThenSendTo : public UDPServerDelegate {
public:
    explicit ReplyThenSendTo(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        const std::string text(data, size);
        server.reply(("reply " + text).data(), 6 + size);
        const std::string then = "then " + text;
        server.sendTo(server.sender(), then.data(), then.size());
    }

private:
    UDPServer& server;
};

TEST(WorkersOrderTest, HeldRepliesLeaveBeforeTheSameDeliverysSendTo) {
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    server->setWorkers(4);
    ReplyThenSendTo delegate(*server);
    server->setDelegate(&delegate);
    server->start();
    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < 16; ++i) clients.push_back(std::make_unique<PeerSocket>());
    for (int i = 0; i < 16; ++i) clients[i]->sendTo(port, std::to_string(i));
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(clients[i]->receive(), "reply " + std::to_string(i));
        EXPECT_EQ(clients[i]->receive(), "then " + std::to_string(i));
    }
    server->stop();
}

// 64 senders flood a four-worker server with empty datagrams, each rejected
// with an error line: the budget is the server's, 10 lines a second in all,
// not 10 a worker; what it holds back is reported, and the counters are exact.
TEST(WorkersErrorLineTest, OneBudgetForAllWorkers) {
    dravik_test::LogRecorder log;
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    server->setWorkers(4);
    server->start();
    std::vector<std::unique_ptr<PeerSocket>> senders;
    for (int i = 0; i < 64; ++i) senders.push_back(std::make_unique<PeerSocket>());
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::uint64_t sent = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (auto& sender : senders) sender->sendTo(port, "");
        sent += senders.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(log.waitForLines("[UDPServer] Suppressed "));
    // What still waits in the sockets is taken before the stop (a slow build,
    // a sanitizer's, may still be at it).
    const auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < drained) {
        const UDPServer::Counters now = server->counters();
        if (now.received + now.droppedBySystem >= sent) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server->stop();
    EXPECT_LE(log.mostErrorLinesWithin(std::chrono::seconds(1)), 11u);
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.received, c.rejectedEmpty);
    // Windows counts no drops: there, only what arrived is accounted for.
    if (!dravik_test::runningUnderWine()) {
        EXPECT_EQ(c.received + c.droppedBySystem, sent);
    }
}

// Counts what arrives whole and what arrives cut.
class SizeCounter : public UDPServerDelegate {
public:
    void messageReceived(const char*, std::uint64_t size) override {
        (size == kLargest ? whole : cut).fetch_add(1);
    }
    static constexpr std::uint64_t kLargest = 65507;  // the largest IPv4 UDP payload
    std::atomic<int> whole{0};
    std::atomic<int> cut{0};
};

class WorkersLayoutTest : public ::testing::TestWithParam<bool> {};

// Workers added before or after the maximum is raised all take the largest
// datagram whole.
TEST_P(WorkersLayoutTest, EveryWorkerTakesTheLargestDatagramWhole) {
    const bool workersFirst = GetParam();
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    if (workersFirst) server->setWorkers(4);
    server->setMaxDatagramSize(65535);
    if (!workersFirst) server->setWorkers(4);
    SizeCounter sizes;
    server->setDelegate(&sizes);
    server->start();
    const std::string largest(SizeCounter::kLargest, 'x');
    for (int i = 0; i < 32; ++i) PeerSocket().sendTo(port, largest);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sizes.whole + sizes.cut < 32 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server->stop();
    EXPECT_EQ(sizes.whole.load(), 32);
    EXPECT_EQ(server->counters().truncated, 0u);
}

INSTANTIATE_TEST_SUITE_P(EitherOrder, WorkersLayoutTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "WorkersFirst" : "SizeFirst");
                         });

}  // namespace
