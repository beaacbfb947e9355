// The sender policy and the limits through a running server, with many
// senders: a process may bind any address of 127.0.0.0/8, and IPv6 senders
// get addresses of their own in a network namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"

using dravik_test::PeerSocket;
using Verdict = UDPServer::Verdict;

namespace {

const char* const kOneLoopbackUnderWine =
    "Wine sends from every loopback address as from 127.0.0.1, so senders cannot be told apart";

// Every datagram taken is accounted for once.
void expectIdentity(const UDPServer::Counters& c) {
    EXPECT_EQ(c.received, c.delivered + c.rejectedForeign + c.rejectedEmpty + c.receiveErrors +
                              c.rejectedNotForGroup + c.rejectedByPolicy + c.rejectedByLimit);
}

struct Placement {
    const char* name;
    const char* bind;
    const char* setup;  // a namespace with the senders' addresses; null: none needed
    const char* allowed;
    const char* refused;
    const char* refusedPrefix;
    bool inKernel;
};

class SenderPolicyTest : public ::testing::TestWithParam<Placement> {
protected:
    void SetUp() override {
        const Placement& p = GetParam();
        if (dravik_test::runningUnderWine()) GTEST_SKIP() << kOneLoopbackUnderWine;
        if (p.setup) {
            space = std::make_unique<dravik_test::NetworkNamespace>(p.setup);
            if (!space->skipReason.empty()) GTEST_SKIP() << space->skipReason;
        }
        server = std::make_unique<UDPServer>(0, p.bind);
        server->setDelegate(&delegate);
        server->start();
    }
    void TearDown() override {
        if (server) server->stop();
    }
    // The policy of the case: the refused sender's prefix denied.
    void setPolicy() {
        UDPServer::SenderPolicy policy;
        policy.rules = {{Verdict::Deny, GetParam().refusedPrefix}};
        policy.inKernel = GetParam().inKernel;
        try {
            server->setSenderPolicy(policy);
        } catch (const std::system_error& e) {
            if (GetParam().inKernel && e.code() == std::errc::operation_not_supported) {
                GTEST_SKIP() << "this system judges senders in user space only: " << e.what();
            }
            throw;
        }
    }
    int port() const { return server->localPort(); }

    std::unique_ptr<dravik_test::NetworkNamespace> space;
    dravik_test::RecordingDelegate delegate;
    std::unique_ptr<UDPServer> server;
};

// The refused sender's datagrams go first: once the allowed ones are in, the
// refused ones have been judged.
TEST_P(SenderPolicyTest, RefusesWhatItDeniesAndDeliversTheRest) {
    const Placement& p = GetParam();
    setPolicy();
    if (IsSkipped()) return;
    dravik_test::LogRecorder log;
    PeerSocket refused(p.refused);
    PeerSocket allowed(p.allowed);
    for (int i = 0; i < 20; ++i) refused.sendTo(port(), "no " + std::to_string(i), p.allowed);
    for (int i = 0; i < 20; ++i) allowed.sendTo(port(), "yes " + std::to_string(i));
    ASSERT_TRUE(delegate.waitForCount(20));
    for (const std::string& message : delegate.messages()) EXPECT_EQ(message.rfind("yes", 0), 0u);
    server->stop();
    const UDPServer::Counters c = server->counters();
    expectIdentity(c);
    EXPECT_EQ(c.delivered, 20u);
    if (p.inKernel) {
        // Never taken: the system's filter dropped them, and says so in its
        // drop count.
        EXPECT_EQ(c.rejectedByPolicy, 0u);
        EXPECT_EQ(c.received, 20u);
        EXPECT_EQ(c.droppedBySystem, 20u);
    } else {
        EXPECT_EQ(c.rejectedByPolicy, 20u);
        EXPECT_EQ(c.droppedBySystem, 0u);
        const auto lines = log.linesStartingWith("[UDPServer] Sender ");
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines[0].text.find(" refused by the sender policy on port "), std::string::npos);
        EXPECT_LE(lines.size(), 10u);  // within the error line budget
    }
    // Cleared, everyone is delivered again.
    server->clearSenderPolicy();
    server->start();
    refused.sendTo(port(), "again", p.allowed);
    EXPECT_TRUE(delegate.waitForCount(21));
}

INSTANTIATE_TEST_SUITE_P(
    Places, SenderPolicyTest,
    ::testing::Values(
        Placement{"IPv4", "127.0.0.1", nullptr, "127.0.0.1", "127.0.3.9", "127.0.3.0/24", false},
        Placement{"IPv4InKernel", "127.0.0.1", nullptr, "127.0.0.1", "127.0.3.9", "127.0.3.0/24",
                  true},
        Placement{"DualStack", "::", nullptr, "127.0.0.1", "127.0.3.9", "127.0.3.9", false},
        Placement{"DualStackInKernel", "::", nullptr, "127.0.0.1", "127.0.3.9", "127.0.3.9", true},
        Placement{"IPv6", "::", "ip link set lo up && ip -6 addr add fd06::2/128 dev lo nodad",
                  "::1", "fd06::2", "fd06::/16", false},
        Placement{"IPv6InKernel", "::",
                  "ip link set lo up && ip -6 addr add fd06::2/128 dev lo nodad", "::1", "fd06::2",
                  "fd06::/16", true}),
    [](const ::testing::TestParamInfo<Placement>& info) { return std::string(info.param.name); });

// Policies replaced and cleared, in user space and in the system, while a
// sender floods: nothing is lost or counted twice, and whatever policy a
// datagram met, the last one holds.
TEST(SenderPolicySwapTest, ReplacingThePolicyUnderTrafficKeepsTheCounts) {
    if (dravik_test::runningUnderWine()) GTEST_SKIP() << kOneLoopbackUnderWine;
    dravik_test::RecordingDelegate delegate;
    UDPServer server(0, "127.0.0.1");
    server.setDelegate(&delegate);
    server.start();
    std::atomic<bool> sending{true};
    std::thread flood([&] {
        PeerSocket sender("127.0.0.8");
        while (sending.load()) sender.sendTo(server.localPort(), "x", "127.0.0.1");
    });
    for (int i = 0; i < 200; ++i) {
        UDPServer::SenderPolicy policy;
        policy.rules = {{i % 2 ? Verdict::Deny : Verdict::Allow, "127.0.0.8"}};
        policy.unmatched = i % 3 ? Verdict::Allow : Verdict::Deny;
        policy.inKernel = i % 4 == 1;
        try {
            server.setSenderPolicy(policy);
        } catch (const std::system_error& e) {
            ASSERT_EQ(e.code(), std::errc::operation_not_supported) << e.what();
            policy.inKernel = false;
            server.setSenderPolicy(policy);
        }
        if (i % 10 == 0) server.clearSenderPolicy();
    }
    UDPServer::SenderPolicy last;
    last.rules = {{Verdict::Deny, "127.0.0.8"}};
    server.setSenderPolicy(last);
    sending.store(false);
    flood.join();
    // A flood datagram judged before the last policy may still be delivered
    // after the marker was sent: what counts is that the marker comes and
    // what the last policy judged does not.
    PeerSocket(("127.0.0.8")).sendTo(server.localPort(), "refused", "127.0.0.1");
    PeerSocket("127.0.0.1").sendTo(server.localPort(), "marker");
    const auto has = [&](const char* text) {
        const std::vector<std::string> seen = delegate.messages();
        return std::find(seen.begin(), seen.end(), text) != seen.end();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!has("marker") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.stop();
    EXPECT_TRUE(has("marker"));
    EXPECT_FALSE(has("refused"));
    const UDPServer::Counters c = server.counters();
    expectIdentity(c);
    EXPECT_GT(c.rejectedByPolicy, 0u);
}

// Bad policies throw and leave the one in force: the loopback sender stays
// refused until the policy is cleared. One sender, so that every platform
// runs it (Wine sends from every loopback address as from 127.0.0.1).
TEST(SenderPolicyRefusalTest, ABadPolicyThrowsAndChangesNothing) {
    dravik_test::RecordingDelegate delegate;
    UDPServer server(0, "127.0.0.1");
    server.setDelegate(&delegate);
    UDPServer::SenderPolicy deny;
    deny.rules = {{Verdict::Deny, "127.0.0.0/8"}};
    server.setSenderPolicy(deny);
    UDPServer::SenderPolicy bad;
    bad.rules = {{Verdict::Allow, "127.0.0.0/8"}, {Verdict::Allow, "127.0.0.300"}};
    try {
        server.setSenderPolicy(bad);
        FAIL() << "a bad rule was taken";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument);
        EXPECT_NE(std::string(e.what()).find("'127.0.0.300'"), std::string::npos) << e.what();
    }
    // Too large for the system's filter: refused, not judged elsewhere.
    UDPServer::SenderPolicy huge;
    for (int i = 0; i < 500; ++i) {
        huge.rules.push_back({Verdict::Allow, "2001:db8:" + std::to_string(i) + "::/127"});
    }
    huge.inKernel = true;
    try {
        server.setSenderPolicy(huge);
        FAIL() << "a policy larger than the filter was taken";
    } catch (const std::system_error& e) {
        EXPECT_TRUE(e.code() == std::errc::value_too_large ||
                    e.code() == std::errc::operation_not_supported)
            << e.what();
    }
    UDPServer peer("127.0.0.1", 9, 0);
    try {
        peer.setSenderPolicy(deny);
        FAIL() << "a peer-mode server took a policy";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::operation_not_supported);
    }
    server.start();
    PeerSocket client;
    client.sendTo(server.localPort(), "refused");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.counters().received == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server.clearSenderPolicy();
    client.sendTo(server.localPort(), "delivered");
    ASSERT_TRUE(delegate.waitForCount(1));
    server.stop();
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"delivered"});
    EXPECT_EQ(server.counters().rejectedByPolicy, 1u);
    expectIdentity(server.counters());
}

// Answers every datagram; counts the refused replies.
class Replier : public UDPServerDelegate {
public:
    explicit Replier(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        const UDPServer::Error result = server.reply(data, size);
        (result == UDPServer::Ok ? replied : refused).fetch_add(1);
        total.fetch_add(1);
    }
    UDPServer& server;
    std::atomic<int> replied{0};
    std::atomic<int> refused{0};
    std::atomic<int> total{0};
};

struct LimitCase {
    const char* name;
    bool onReplies;
    bool dryRun;
    bool exemptLoopback;
};

class RateLimitTest : public ::testing::TestWithParam<LimitCase> {};

// 60 requests from one /24 as fast as they go: the burst of 5 and what 10 a
// second add over the time the requests took pass, the rest are refused (or,
// in a dry run or exempt, pass and are counted, or not). Another /24 has a
// budget of its own.
TEST_P(RateLimitTest, APrefixPastItsBudgetIsRefused) {
    if (dravik_test::runningUnderWine()) GTEST_SKIP() << kOneLoopbackUnderWine;
    const LimitCase& c = GetParam();
    UDPServer server(0, "127.0.0.1");
    Replier replier(server);
    server.setDelegate(&replier);
    UDPServer::RateLimit limit;
    limit.perSecond = 10;
    limit.burst = 5;
    limit.dryRun = c.dryRun;
    limit.exemptLoopback = c.exemptLoopback;
    const auto set = c.onReplies ? &UDPServer::setReplyLimit : &UDPServer::setDeliveryLimit;
    (server.*set)(limit);
    server.start();
    PeerSocket client("127.0.0.20");
    PeerSocket other("127.0.1.20");
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i) client.sendTo(server.localPort(), "q", "127.0.0.1");
    other.sendTo(server.localPort(), "q", "127.0.0.1");
    // Every request is judged before the stop counts them.
    const auto deadline = started + std::chrono::seconds(5);
    while (server.counters().received < 61 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    server.stop();
    const UDPServer::Counters n = server.counters();
    expectIdentity(n);
    ASSERT_EQ(n.received, 61u);
    const auto budget = static_cast<std::uint64_t>(5 + 10 * seconds);
    const std::uint64_t passed = c.onReplies ? static_cast<std::uint64_t>(replier.replied.load())
                                             : n.delivered;
    const std::uint64_t refused = c.onReplies ? n.repliesRateLimited : n.rejectedByLimit;
    const std::uint64_t wouldRefuse = c.onReplies ? n.wouldLimitReplies : n.wouldLimitDeliveries;
    if (c.dryRun || c.exemptLoopback) {
        EXPECT_EQ(passed, 61u);
        EXPECT_EQ(refused, 0u);
        if (c.dryRun) {
            EXPECT_GE(wouldRefuse + budget + 1, 61u);
            EXPECT_LE(wouldRefuse, 61u - 6);
        } else {
            EXPECT_EQ(wouldRefuse, 0u);
        }
    } else {
        EXPECT_GE(passed, 6u);  // the burst, and the other prefix
        EXPECT_LE(passed, budget + 1);
        EXPECT_EQ(refused, 61 - passed);
    }
    if (c.onReplies) {
        EXPECT_EQ(n.delivered, 61u);
        EXPECT_EQ(n.sendsAccepted, static_cast<std::uint64_t>(replier.replied.load()));
        EXPECT_EQ(replier.refused.load(), static_cast<int>(n.repliesRateLimited));
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, RateLimitTest,
                         ::testing::Values(LimitCase{"Deliveries", false, false, false},
                                           LimitCase{"Replies", true, false, false},
                                           LimitCase{"DeliveriesDryRun", false, true, false},
                                           LimitCase{"RepliesDryRun", true, true, false},
                                           LimitCase{"RepliesExemptLoopback", true, false, true}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
