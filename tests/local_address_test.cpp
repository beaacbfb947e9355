// A receive-only server bound to a chosen local address, the port it is bound
// to, IPv6 scopes and IPv4-mapped addresses.
#include <chrono>
#include <ostream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;

namespace {

std::unique_ptr<UDPServer> boundTo(const std::string& address, int& port) {
    return dravik_test::onFreePort(
        [&](int local) { return std::make_unique<UDPServer>(local, address); }, port);
}

class LocalAddressTest : public ::testing::Test {
protected:
    void start(const std::string& address) {
        server = boundTo(address, port);
        server->setDelegate(&delegate);
        server->start();
    }
    // Sends `text` from a socket on `from` to `to`:port; true if delivered.
    bool arrives(const std::string& from, const std::string& to, const std::string& text) {
        const std::size_t before = delegate.count();
        PeerSocket sender(from);
        sender.sendTo(port, text, to);
        return delegate.waitForCount(before + 1, std::chrono::milliseconds(300));
    }

    LogRecorder log;
    RecordingDelegate delegate;  // outlives the server
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

TEST_F(LocalAddressTest, BoundToOneLoopbackAddressHearsOnlyThatAddress) {
    start("127.0.0.1");
    EXPECT_FALSE(arrives("127.0.0.1", "127.0.0.2", "to the other address"));
    EXPECT_TRUE(arrives("127.0.0.1", "127.0.0.1", "to mine"));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"to mine"});
}

TEST_F(LocalAddressTest, BoundToTheIPv6AnyAddressHearsIPv4AndIPv6) {
    start("::");
    EXPECT_TRUE(arrives("127.0.0.1", "127.0.0.1", "over IPv4"));
    EXPECT_TRUE(arrives("::1", "::1", "over IPv6"));
}

TEST_F(LocalAddressTest, BoundToIPv6LoopbackHearsNoIPv4) {
    start("::1");
    EXPECT_FALSE(arrives("127.0.0.1", "127.0.0.1", "over IPv4"));
    EXPECT_TRUE(arrives("::1", "::1", "over IPv6"));
}

TEST_F(LocalAddressTest, TwoServersOnOnePortAndTwoAddressesEachGetTheirOwn) {
    if (dravik_test::runningUnderWine()) {
        GTEST_SKIP() << "Wine refuses a second socket on one port at another loopback address "
                        "(bind fails)";
    }
    start("127.0.0.1");
    RecordingDelegate other;  // outlives its server
    UDPServer second(port, "127.0.0.2");
    second.setDelegate(&other);
    second.start();
    PeerSocket sender;
    sender.sendTo(port, "first", "127.0.0.1");
    sender.sendTo(port, "second", "127.0.0.2");
    ASSERT_TRUE(delegate.waitForCount(1));
    ASSERT_TRUE(other.waitForCount(1));
    second.stop();
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"first"});
    EXPECT_EQ(other.messages(), std::vector<std::string>{"second"});
}

TEST_F(LocalAddressTest, PortZeroReportsThePortTheSystemChoseAndLogsZero) {
    UDPServer server(0, "127.0.0.1");
    EXPECT_GT(server.localPort(), 0);
    UDPServer given(0);
    EXPECT_GT(given.localPort(), 0);
    int chosen = 0;
    auto onChosen = dravik_test::receiveOnlyServer(chosen);
    EXPECT_EQ(onChosen->localPort(), chosen);
    server.stop();
    EXPECT_EQ(log.count(velmora::LogLevel::Info, "[UDPServer] Stopping on port 0"), 1u);
}

struct BadLocal {
    const char* name;
    int port;
    const char* address;
    std::errc expected;  // a value no platform error takes: any error
};

void PrintTo(const BadLocal& c, std::ostream* os) { *os << c.name; }

class BadLocalAddressTest : public ::testing::TestWithParam<BadLocal> {};

TEST_P(BadLocalAddressTest, ThrowsAndLogsNothing) {
    if (GetParam().expected != std::errc::invalid_argument && dravik_test::runningUnderWine()) {
        GTEST_SKIP() << "Wine lets a socket bind an address this host does not have";
    }
    LogRecorder log;
    try {
        UDPServer server(GetParam().port, GetParam().address);
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), GetParam().expected) << e.what();
        EXPECT_TRUE(dravik_test::isSystemText(e.code().message())) << e.what();
        if (GetParam().expected != std::errc::invalid_argument) {
            EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    TextPortAndForeignAddress, BadLocalAddressTest,
    ::testing::Values(BadLocal{"HostName", 0, "localhost", std::errc::invalid_argument},
                      BadLocal{"Empty", 0, "", std::errc::invalid_argument},
                      BadLocal{"WithPort", 0, "127.0.0.1:9", std::errc::invalid_argument},
                      BadLocal{"PortTooLarge", 65536, "127.0.0.1", std::errc::invalid_argument},
                      BadLocal{"AddressNotOnThisHost", 0, "192.0.2.1",
                               std::errc::address_not_available}),
    [](const ::testing::TestParamInfo<BadLocal>& info) { return std::string(info.param.name); });

class BadScopeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(BadScopeTest, LinkLocalScopeMustNameAnInterfaceAndNoTextHoldsANulByte) {
    EXPECT_THROW(UDPServer(GetParam(), 9, 0), std::system_error);
    try {
        UDPServer server(GetParam(), 9, 0);
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(UnknownJunkOutOfRangeTwiceNul, BadScopeTest,
                         ::testing::Values("fe80::1%no-such-interface", "fe80::1%1x",
                                           "fe80::1%4294967296", "fe80::1%99999999999",
                                           "fe80::1%1%1", "fe80::1%", "::1%", "ff02::1%",
                                           "fe80::1%0",
                                           std::string("fe80::1%1\0junk", 14),
                                           std::string("::1%x\0", 6),
                                           std::string("127.0.0.1\0", 10)));

// The system reports senders on ::1 with no scope, so a scope given with a
// peer's address that is not link-local must not make its replies foreign.
TEST(ScopedPeerTest, RepliesFromAPeerGivenWithAScopeAreAccepted) {
    LogRecorder log;
    RecordingDelegate delegate;  // outlives the server
    PeerSocket peer("::1");
    int port = 0;
    auto server = dravik_test::peerServer("::1%1", peer.port(), port);
    server->setDelegate(&delegate);
    server->start();
    peer.sendTo(port, "reply");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Remote sender").empty());
}

TEST(MappedAddressTest, MappedUnspecifiedRemoteIsRefusedAsNoRemoteEndpoint) {
    int port = 0;
    auto server = dravik_test::peerServer("::ffff:0.0.0.0", 9, port);
    server->start();
    LogRecorder log;
    EXPECT_EQ(server->send("x", 1), UDPServer::NoRemoteEndpoint);
    EXPECT_EQ(log.count(velmora::LogLevel::Error,
                        "[UDPServer] Error: No remote endpoint available to send data"),
              1u);
}

TEST(MappedAddressTest, MappedIPv4PeerExchangesBothWays) {
    RecordingDelegate delegate;  // outlives the server
    PeerSocket peer;
    int port = 0;
    auto server = dravik_test::peerServer("::ffff:127.0.0.1", peer.port(), port);
    server->setDelegate(&delegate);
    server->start();
    ASSERT_EQ(server->send("to", 2), UDPServer::Ok);
    EXPECT_EQ(peer.receive(), "to");
    peer.sendTo(port, "fro");
    EXPECT_TRUE(delegate.waitForCount(1));
}

}  // namespace
