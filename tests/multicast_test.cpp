// Group traffic in a network namespace of the test's own
// (support/group-links.sh): IPv4 groups on a loopback that carries multicast,
// IPv6 groups on one end of a veth pair.
#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"

namespace {

using dravik_test::NetworkNamespace;
using dravik_test::RecordingDelegate;

struct Family {
    const char* name;
    const char* any;
    const char* firstGroup;
    const char* secondGroup;
};

class GroupTest : public ::testing::TestWithParam<Family> {};

const char* const kNoScopeUnderWine =
    "Wine's interface functions do not know the namespace's interfaces, so no scope can name mc0";

bool wineCannotScope(const Family& f) {
    return dravik_test::runningUnderWine() && std::string(f.name) == "IPv6";
}

// Two members on one port, each of its own group, get only their group's
// datagrams, from a plain socket and from a peer-mode server alike.
TEST_P(GroupTest, MembersReceiveTheirOwnGroupOnly) {
    const Family f = GetParam();
    NetworkNamespace links(DRAVIK_GROUP_LINKS);
    if (!links.skipReason.empty()) GTEST_SKIP() << links.skipReason;
    if (wineCannotScope(f)) GTEST_SKIP() << kNoScopeUnderWine;
    RecordingDelegate atFirst, atSecond;  // outlive the servers
    UDPServer member(0, f.firstGroup);
    UDPServer other(member.localPort(), f.secondGroup);
    member.setDelegate(&atFirst);
    other.setDelegate(&atSecond);
    member.start();
    other.start();
    UDPServer peer(f.firstGroup, member.localPort(), 0);
    peer.start();

    dravik_test::PeerSocket plain(f.any);
    plain.sendTo(member.localPort(), "to the second", f.secondGroup);
    plain.sendTo(member.localPort(), "to the first", f.firstGroup);
    ASSERT_EQ(peer.send("from the peer", 13), UDPServer::Ok);
    ASSERT_TRUE(atSecond.waitForCount(1));
    ASSERT_TRUE(atFirst.waitForCount(2));
    // Winsock binds the any-address; Wine's sockets then take every group
    // joined on the port, as Linux's do by default, and the server tells
    // them apart by where each was sent.
    const std::uint64_t taken = dravik_test::runningUnderWine() ? 3 : 2;
    for (int i = 0; i < 100 && member.counters().received < taken; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    member.stop();
    std::vector<std::string> first = atFirst.messages();
    std::sort(first.begin(), first.end());  // two senders: either may come first
    EXPECT_EQ(first, (std::vector<std::string>{"from the peer", "to the first"}));
    EXPECT_EQ(member.counters().rejectedNotForGroup, taken - 2);
    EXPECT_EQ(atSecond.messages(), std::vector<std::string>{"to the second"});
}

// A member answers a sender from the receiving interface's own address (no
// datagram may leave from a group address), and knows the group it was sent to.
TEST_P(GroupTest, MemberRepliesFromItsInterfaceAddress) {
    const Family f = GetParam();
    NetworkNamespace links(DRAVIK_GROUP_LINKS);
    if (!links.skipReason.empty()) GTEST_SKIP() << links.skipReason;
    if (wineCannotScope(f)) GTEST_SKIP() << kNoScopeUnderWine;
    RecordingDelegate delegate;  // outlives the server
    UDPServer member(0, f.firstGroup);
    delegate.onMessage = [&](const std::string&) {
        const std::string to = member.destination().toString();
        member.reply(to.data(), to.size());
    };
    member.setDelegate(&delegate);
    member.start();
    dravik_test::PeerSocket plain(f.any);
    plain.sendTo(member.localPort(), "who are you?", f.firstGroup);
    asio::ip::udp::endpoint from;
    const auto answer = plain.receive(std::chrono::seconds(5), &from);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, UDPServer::Endpoint(f.firstGroup, member.localPort()).toString());
    EXPECT_FALSE(from.address().is_multicast()) << from;
    EXPECT_FALSE(from.address().is_unspecified()) << from;
    EXPECT_EQ(from.port(), member.localPort());
}

// A link-local group given without a scope is joined on the interface the
// system picks; sent to on either end of the namespace's veth pair, it
// arrives. Its socket is bound to the any-address, so datagrams sent to the
// port at a unicast address reach it too: they are not delivered, but
// counted.
TEST(ScopelessGroupTest, LinkLocalGroupWithoutAScopeIsJoinedAndHearsOnlyTheGroup) {
    NetworkNamespace links(DRAVIK_GROUP_LINKS);
    if (!links.skipReason.empty()) GTEST_SKIP() << links.skipReason;
    if (dravik_test::runningUnderWine()) GTEST_SKIP() << kNoScopeUnderWine;
    RecordingDelegate delegate;  // outlives the server
    UDPServer member(0, "ff02::1234");
    member.setDelegate(&delegate);
    member.start();
    dravik_test::PeerSocket plain("::");
    plain.sendTo(member.localPort(), "unicast", "::1");
    plain.sendTo(member.localPort(), "to the group", "ff02::1234%mc0");
    EXPECT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages().front(), "to the group");
    for (int i = 0; i < 100 && member.counters().received < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    member.stop();
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"to the group"});
    EXPECT_EQ(member.counters().rejectedNotForGroup, 1u);
    EXPECT_EQ(member.counters().received, 2u);
}

struct SourceFamily {
    const char* name;
    const char* group;
    const char* named;  // the one source the member names
    const char* other;  // another that sends to the group too
};

class SourceSpecificTest : public ::testing::TestWithParam<SourceFamily> {};

// A member that names one source hears only that source's datagrams: the
// other's are filtered by the system, never taken.
TEST_P(SourceSpecificTest, AMemberHearsOnlyTheSourceItNames) {
    const SourceFamily f = GetParam();
    NetworkNamespace links(DRAVIK_GROUP_LINKS
                           " && ip addr add 127.0.0.2/8 dev lo 2>/dev/null;"
                           " ip -6 addr add fd07::2/64 dev mc0 nodad &&"
                           " ip -6 addr add fd07::3/64 dev mc0 nodad");
    if (!links.skipReason.empty()) GTEST_SKIP() << links.skipReason;
    if (dravik_test::runningUnderWine()) {
        GTEST_SKIP() << "Wine does not know the namespace's interfaces, nor every source membership";
    }
    RecordingDelegate delegate;
    UDPServer member(0, f.group);
    member.setSources({f.named});
    member.setDelegate(&delegate);
    member.start();
    dravik_test::PeerSocket named(f.named), other(f.other);
    for (int i = 0; i < 3; ++i) {
        other.sendTo(member.localPort(), "from the other", f.group);
        named.sendTo(member.localPort(), "from the named", f.group);
    }
    ASSERT_TRUE(delegate.waitForCount(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    member.stop();
    EXPECT_EQ(delegate.messages(), std::vector<std::string>(3, "from the named"));
    EXPECT_EQ(member.counters().received, 3u);
    // Any source again, by naming both: both are heard.
    member.setSources({f.named, f.other});
    member.start();
    other.sendTo(member.localPort(), "from the other", f.group);
    EXPECT_TRUE(delegate.waitForCount(4));
    member.stop();
}

INSTANTIATE_TEST_SUITE_P(
    IPv4AndIPv6, SourceSpecificTest,
    ::testing::Values(SourceFamily{"IPv4", "232.1.2.3", "127.0.0.1", "127.0.0.2"},
                      SourceFamily{"IPv6", "ff32::8000:1%mc0", "fd07::2", "fd07::3"}),
    [](const ::testing::TestParamInfo<SourceFamily>& info) { return std::string(info.param.name); });

TEST(SourceSpecificRefusalTest, RefusesWhatNoMembershipCanBe) {
    const auto refused = [](UDPServer& server, std::vector<std::string> sources, std::errc code) {
        try {
            server.setSources(sources);
        } catch (const std::system_error& e) {
            return e.code() == code;
        }
        return false;
    };
    UDPServer unicast(0, "127.0.0.1");
    EXPECT_TRUE(refused(unicast, {"127.0.0.1"}, std::errc::operation_not_supported));
    NetworkNamespace links(DRAVIK_GROUP_LINKS);
    if (!links.skipReason.empty()) GTEST_SKIP() << links.skipReason;
    UDPServer member(0, "232.1.2.3");
    EXPECT_TRUE(refused(member, {}, std::errc::invalid_argument));
    EXPECT_TRUE(refused(member, {"::1"}, std::errc::invalid_argument));
    EXPECT_TRUE(refused(member, {"host"}, std::errc::invalid_argument));
    member.start();
    EXPECT_TRUE(refused(member, {"127.0.0.1"}, std::errc::operation_in_progress));
    member.stop();
}

INSTANTIATE_TEST_SUITE_P(
    IPv4AndIPv6, GroupTest,
    ::testing::Values(Family{"IPv4", "0.0.0.0", "239.1.2.3", "239.1.2.4"},
                      Family{"IPv6", "::", "ff02::1234%mc0", "ff02::1235%mc0"}),
    [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

}  // namespace
