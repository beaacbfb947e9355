#include <climits>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif
#include <ostream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

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

LogLine starting(int port) {
    return {LogLevel::Info, "[UDPServer] Starting on port " + std::to_string(port)};
}

LogLine stopping(int port) {
    return {LogLevel::Info, "[UDPServer] Stopping on port " + std::to_string(port)};
}

const LogLine startOnRunning{LogLevel::Error,
                             "[UDPServer] Error: Trying to start a running UDP server"};

class ServerLifecycleTest : public ::testing::Test {
protected:
    LogRecorder log;
    int port = 0;
};

TEST_F(ServerLifecycleTest, ConstructAndDestroyLogsOnlyOneStoppingLine) {
    dravik_test::receiveOnlyServer(port).reset();
    EXPECT_EQ(log.lines(), std::vector<LogLine>{stopping(port)});
}

TEST_F(ServerLifecycleTest, StartStopDestroyLogsStartingOnceAndStoppingTwice) {
    auto server = dravik_test::receiveOnlyServer(port);
    server->start();
    server->stop();
    server.reset();
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{starting(port), stopping(port), stopping(port)}));
}

TEST_F(ServerLifecycleTest, StopOnNeverStartedServerLogsAndReturns) {
    auto server = dravik_test::peerServer("127.0.0.1", 9, port);
    server->stop();
    EXPECT_EQ(log.lines(), std::vector<LogLine>{stopping(port)});
}

TEST_F(ServerLifecycleTest, PortZeroBindsAnEphemeralPortAndLogsZero) {
    UDPServer server(0);
    server.start();
    server.stop();
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{starting(0), stopping(0)}));
}

TEST_F(ServerLifecycleTest, PortInUseThrowsFromBothConstructorsAndLogsNothing) {
    asio::io_context context;
    asio::ip::udp::socket holder(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
    const int taken = holder.local_endpoint().port();

    for (const bool peerMode : {false, true}) {
        try {
            if (peerMode) {
                UDPServer server("127.0.0.1", 9, taken);
            } else {
                UDPServer server(taken);
            }
            ADD_FAILURE() << "no exception, peer mode " << peerMode;
        } catch (const std::system_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
            EXPECT_EQ(e.code(), std::errc::address_in_use) << e.what();
            EXPECT_TRUE(dravik_test::isSystemText(e.code().message())) << e.what();
        }
    }
    EXPECT_TRUE(log.lines().empty());
}

class NumericAddressTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NumericAddressTest, IsAcceptedAsTheRemoteAddress) {
    int port = 0;
    EXPECT_NO_THROW(dravik_test::peerServer(GetParam(), 9, port));
}

INSTANTIATE_TEST_SUITE_P(IPv4AndIPv6, NumericAddressTest,
                         ::testing::Values("127.0.0.1", "0.0.0.0", "::1", "::", "::ffff:127.0.0.1",
                                           "FE80::1%1"));

TEST_F(ServerLifecycleTest, GetDelegateReturnsWhatWasLastSet) {
    auto server = dravik_test::receiveOnlyServer(port);
    RecordingDelegate first, second;
    EXPECT_EQ(server->getDelegate(), nullptr);
    server->setDelegate(&first);
    server->setDelegate(&second);
    EXPECT_EQ(server->getDelegate(), &second);
    server->setDelegate(nullptr);
    EXPECT_EQ(server->getDelegate(), nullptr);
}

TEST_F(ServerLifecycleTest, StartOnRunningServerLogsErrorAndKeepsReceiving) {
    RecordingDelegate delegate;  // outlives the server
    auto server = dravik_test::receiveOnlyServer(port);
    server->setDelegate(&delegate);
    server->start();
    server->start();

    PeerSocket peer;
    peer.sendTo(port, "still here");
    ASSERT_TRUE(delegate.waitForCount(1));
    server->stop();
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Starting"), std::vector<LogLine>{starting(port)});
    EXPECT_EQ(log.count(startOnRunning.level, startOnRunning.text), 1u);
}

// A start after a stop, whether or not the server ran before, resumes
// reception. Datagrams queued while stopped are read back to back: with two
// receives outstanding on the one buffer, the second would overwrite the first
// before it is delivered.
class RestartTest : public ServerLifecycleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartTest, StartAfterStopResumesWithOneReceiveOutstanding) {
    const bool ranBefore = GetParam();
    RecordingDelegate delegate;  // outlives the server
    auto server = dravik_test::receiveOnlyServer(port);
    server->setDelegate(&delegate);
    if (ranBefore) server->start();
    server->stop();

    PeerSocket peer;
    peer.sendTo(port, "aaaa");
    peer.sendTo(port, "bbbbbbbbbbbb");
    server->start();
    ASSERT_TRUE(delegate.waitForCount(2));
    server->stop();
    EXPECT_EQ(delegate.messages(), (std::vector<std::string>{"aaaa", "bbbbbbbbbbbb"}));
}

INSTANTIATE_TEST_SUITE_P(RanOrNever, RestartTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AfterRunning" : "NeverStarted");
                         });

// Ports are taken as int; values outside 0..65535 are refused, not wrapped.
struct PortCase {
    bool peerMode;
    int remotePort;
    int localPort;
};

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << (c.peerMode ? "peer remote " + std::to_string(c.remotePort) + " " : "") << "local "
        << c.localPort;
}

class PortRangeTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortRangeTest, OutOfRangePortThrowsInvalidArgumentAndLogsNothing) {
    LogRecorder log;
    const PortCase c = GetParam();
    try {
        if (c.peerMode) {
            UDPServer server("127.0.0.1", c.remotePort, c.localPort);
        } else {
            UDPServer server(c.localPort);
        }
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument) << e.what();
    }
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(LocalAndRemote, PortRangeTest,
                         ::testing::Values(PortCase{false, 0, -1}, PortCase{false, 0, 65536},
                                           PortCase{false, 0, 70000}, PortCase{false, 0, INT_MIN},
                                           PortCase{true, 9, 65536}, PortCase{true, -1, 0},
                                           PortCase{true, 65536, 0}, PortCase{true, INT_MAX, 0}));

class RemoteAddressTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RemoteAddressTest, NonNumericAddressThrowsAndLogsNothing) {
    LogRecorder log;
    EXPECT_THROW(UDPServer(GetParam(), 9, 0), std::system_error);
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(HostNamesAndMalformed, RemoteAddressTest,
                         ::testing::Values("localhost", "example.invalid", "", "127.0.0.1:9",
                                           "1.2.3.4.5", "::g", " 127.0.0.1", "[::1]:9",
                                           "1.2.3.4%1"));

#ifndef _WIN32
// With a few descriptors left, too few for the event loop and the socket, the
// constructor fails wherever the descriptors run out, always with an error
// that compares equal to too_many_files_open.
class NoDescriptorsTest : public ::testing::TestWithParam<int> {};

TEST_P(NoDescriptorsTest, ConstructionErrorComparesEqualToTooManyFilesOpen) {
#ifdef DRAVIK_SANITIZED
    GTEST_SKIP() << "the sanitizers need descriptors of their own, and flag asio's clean-up of "
                    "an event loop whose construction failed";
#endif
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit few = original;
    few.rlim_cur = static_cast<rlim_t>(lowestFree + GetParam());
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    std::error_code code;
    try {
        UDPServer server(0);
    } catch (const std::system_error& e) {
        code = e.code();
    }
    ::setrlimit(RLIMIT_NOFILE, &original);
    EXPECT_EQ(code, std::errc::too_many_files_open) << code.message();
}

INSTANTIATE_TEST_SUITE_P(NoneToThree, NoDescriptorsTest, ::testing::Values(0, 1, 2, 3));
#endif

}  // namespace
