// What the system tells of each datagram once asked, on every platform; the
// rules of the settings; and a caller's shorter struct.
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/PeerSocket.h"
#include "support/Platform.h"

using dravik_test::PeerSocket;

namespace {

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Reads what the server knows of each datagram into `info` (as far as its
// size reaches) and answers, so the client knows it has been read.
class Reader : public UDPServerDelegate {
public:
    Reader(UDPServer& server, UDPServer::DatagramInfo& info) : server(server), info(info) {}
    void messageReceived(const char*, std::uint64_t) override {
        read = server.readDatagramInfo(info);
        server.reply("ok", 2);
    }
    bool read = false;

private:
    UDPServer& server;
    UDPServer::DatagramInfo& info;
};

// Runs a server on `address`, asked for the information or not, until one
// datagram has been delivered and `info` read.
void readOne(const char* address, bool asked, UDPServer::DatagramInfo& info) {
    UDPServer server(0, address);
    server.setReceiveInfo(asked);
    Reader reader(server, info);
    server.setDelegate(&reader);
    server.start();
    PeerSocket client;
    client.sendTo(server.localPort(), "x");
    ASSERT_TRUE(client.receive());
    server.stop();
    ASSERT_TRUE(reader.read);
}

TEST(ReceiveInfoTest, WhatTheSystemTellsIsKnownAndTheRestUnknown) {
    UDPServer::DatagramInfo info;
    [[maybe_unused]] const std::int64_t before = nowNanoseconds();
    readOne("0.0.0.0", true, info);
    [[maybe_unused]] const std::int64_t after = nowNanoseconds();
    EXPECT_NE(info.interfaceIndex, 0u);
    EXPECT_NE(std::string(info.interfaceName), "");
#ifdef _WIN32
    // Windows tells no receive time; the traffic class only where the
    // system knows IP_RECVTOS; the hop limit where it knows IP_HOPLIMIT.
    EXPECT_EQ(info.receivedAt, -1);
    EXPECT_GE(info.trafficClass, -1);
    if (info.hopLimit == -1) GTEST_SKIP() << "this system tells no hop limit (IP_HOPLIMIT)";
    EXPECT_GT(info.hopLimit, 0);
#else
    EXPECT_EQ(info.trafficClass, 0);
    EXPECT_EQ(info.hopLimit, 64);
    EXPECT_GE(info.receivedAt, before);
    EXPECT_LE(info.receivedAt, after);
    EXPECT_STREQ(info.interfaceName, "lo");
#endif
}

// Unasked, the system tells none of it: unknown, not 0.
TEST(ReceiveInfoTest, UnaskedTheMarksAndTheTimeAreUnknown) {
    UDPServer::DatagramInfo info;
    readOne("127.0.0.1", false, info);
    EXPECT_EQ(info.trafficClass, -1);
    EXPECT_EQ(info.hopLimit, -1);
    EXPECT_EQ(info.receivedAt, -1);
}

// A caller built against a shorter struct gets only the fields it has.
TEST(ReceiveInfoTest, AShorterStructIsFilledOnlyAsFarAsItReaches) {
    UDPServer::DatagramInfo info;
    info.size = offsetof(UDPServer::DatagramInfo, hopLimit);
    info.trafficClass = 1000;
    info.hopLimit = 77;
    readOne("127.0.0.1", true, info);
    EXPECT_NE(info.trafficClass, 1000);
    EXPECT_EQ(info.hopLimit, 77);
}

TEST(ReceiveInfoTest, OutsideADeliveryNothingIsKnown) {
    UDPServer server(0, "127.0.0.1");
    UDPServer::DatagramInfo info;
    info.hopLimit = 77;
    EXPECT_FALSE(server.readDatagramInfo(info));
    EXPECT_EQ(info.hopLimit, 77);
}

TEST(ReceiveInfoSettingsTest, AreCheckedAndChangedOnlyWhileStopped) {
    UDPServer server(0, "127.0.0.1");
    EXPECT_EQ(server.trafficClass(), -1);
    EXPECT_EQ(server.hopLimit(), -1);
    EXPECT_EQ(server.fragmentation(), UDPServer::Fragmentation::SystemDefault);
    server.setTrafficClass(0xB8);
    EXPECT_EQ(server.withEcn(1), 0xB9);
    EXPECT_EQ(server.withEcn(6), 0xBA);  // only the ECN bits
    for (int bad : {-2, 256}) {
        try {
            server.setTrafficClass(bad);
            ADD_FAILURE() << bad;
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::errc::invalid_argument) << bad;
        }
    }
    for (int bad : {0, -2, 256}) EXPECT_THROW(server.setHopLimit(bad), std::system_error) << bad;
    EXPECT_THROW(server.setFragmentation(static_cast<UDPServer::Fragmentation>(3)),
                 std::system_error);
    server.start();
    try {
        server.setReceiveInfo(true);
        ADD_FAILURE();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::operation_in_progress);
    }
    server.stop();
    EXPECT_EQ(server.trafficClass(), 0xB8);
    EXPECT_FALSE(server.receiveInfo());
    server.setTrafficClass(-1);
    EXPECT_EQ(server.withEcn(2), 2);
}

}  // namespace
