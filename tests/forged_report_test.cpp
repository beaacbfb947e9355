// Reports of unreachable destinations forged by a raw socket in a network
// namespace of the test's own: the server believes only what concerns
// destinations it sent to, never passes on an MTU no path can have, and
// shrugs off reports cut short.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dravik/UDPServer.h>

#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"
#include "support/UnreachableNotices.h"

using dravik_test::PeerSocket;
using Reason = UDPServer::UnreachableReason;

namespace {


std::uint16_t checksum(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += bytes[i] << 8 | bytes[i + 1];
    if (bytes.size() % 2) sum += bytes.back() << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void put16(std::vector<std::uint8_t>& b, std::size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

struct Forgery {
    const char* name;
    bool v6;
    std::uint8_t type;
    std::uint8_t code;
    std::uint32_t mtu;
    bool solicited;      // about a destination the server has just sent to
    std::size_t cutTo;   // the inner packet cut to this many bytes; 0: whole
    // What the server makes of it.
    bool believed;
    Reason reason;
    std::uint32_t reportedMtu;
};

// A report from "the network" (this host's loopback, as a router would send
// it) about a datagram from the server's port to `to`.
std::vector<std::uint8_t> forge(const Forgery& f, int serverPort, int toPort) {
    std::vector<std::uint8_t> packet(8, 0);
    packet[0] = f.type;
    packet[1] = f.code;
    if (f.v6) {
        packet[4] = static_cast<std::uint8_t>(f.mtu >> 24);
        packet[5] = static_cast<std::uint8_t>(f.mtu >> 16);
        put16(packet, 6, f.mtu & 0xffff);
        std::vector<std::uint8_t> inner(48, 0);
        inner[0] = 0x60;
        put16(inner, 4, 8);
        inner[6] = IPPROTO_UDP;
        inner[7] = 64;
        inner[23] = 1;  // from ::1
        inner[39] = 1;  // to ::1
        put16(inner, 40, static_cast<unsigned>(serverPort));
        put16(inner, 42, static_cast<unsigned>(toPort));
        put16(inner, 44, 8);
        packet.insert(packet.end(), inner.begin(), inner.end());
    } else {
        put16(packet, 6, f.mtu);
        std::vector<std::uint8_t> inner(28, 0);
        inner[0] = 0x45;
        put16(inner, 2, 28);
        inner[8] = 64;
        inner[9] = IPPROTO_UDP;
        const std::uint8_t loopback[4] = {127, 0, 0, 1};
        std::memcpy(&inner[12], loopback, 4);
        std::memcpy(&inner[16], loopback, 4);
        put16(inner, 10, checksum(std::vector<std::uint8_t>(inner.begin(), inner.begin() + 20)));
        put16(inner, 20, static_cast<unsigned>(serverPort));
        put16(inner, 22, static_cast<unsigned>(toPort));
        put16(inner, 24, 8);
        packet.insert(packet.end(), inner.begin(), inner.end());
    }
    if (f.cutTo != 0) packet.resize(8 + f.cutTo);
    if (!f.v6) put16(packet, 2, checksum(packet));  // the system sums ICMPv6 itself
    return packet;
}

class ForgedReportTest : public ::testing::TestWithParam<Forgery> {
protected:
    void SetUp() override {
        space = std::make_unique<dravik_test::NetworkNamespace>("ip link set lo up");
        if (!space->skipReason.empty()) GTEST_SKIP() << space->skipReason;
        raw = ::socket(GetParam().v6 ? AF_INET6 : AF_INET, SOCK_RAW,
                       GetParam().v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
        if (raw < 0) GTEST_SKIP() << "no raw socket here: " << std::strerror(errno);
        server = std::make_unique<UDPServer>(0, GetParam().v6 ? "::1" : "127.0.0.1");
        server->setDelegate(&delegate);
        server->setUnreachableListener(&notices);
        server->start();
    }
    void TearDown() override {
        if (server) server->stop();
        if (raw >= 0) ::close(raw);
    }
    void sendForged(const std::vector<std::uint8_t>& packet) {
        sockaddr_storage to{};
        socklen_t size;
        if (GetParam().v6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            size = sizeof *v6;
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof *v4;
        }
        ASSERT_EQ(::sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                           size),
                  static_cast<ssize_t>(packet.size()))
            << std::strerror(errno);
    }

    std::unique_ptr<dravik_test::NetworkNamespace> space;
    int raw = -1;
    dravik_test::RecordingDelegate delegate;
    dravik_test::UnreachableNotices notices;
    std::unique_ptr<UDPServer> server;
};

// A datagram sent after the report shows that the worker read its socket,
// error queue included, since the report.
TEST_P(ForgedReportTest, IsBelievedOnlyAboutARecentDestinationWithAPossibleMtu) {
    const Forgery& f = GetParam();
    const std::string loopback = f.v6 ? "::1" : "127.0.0.1";
    PeerSocket destination(loopback);  // listens, so no real report comes
    if (f.solicited) {
        ASSERT_EQ(server->sendTo(UDPServer::Endpoint(loopback, destination.port()), "hi", 2),
                  UDPServer::Ok);
        ASSERT_TRUE(destination.receive().has_value());
    }
    sendForged(forge(f, server->localPort(), destination.port()));
    PeerSocket client(loopback);
    client.sendTo(server->localPort(), "after");
    ASSERT_TRUE(delegate.waitForCount(1));
    server->stop();
    const UDPServer::Counters c = server->counters();
    const auto heard = notices.waitFor(0);
    const std::uint64_t counted =
        c.unreachablePort + c.unreachableHost + c.unreachableTooBig + c.unreachableOther;
    if (!f.believed) {
        EXPECT_EQ(counted, 0u);
        EXPECT_TRUE(heard.empty());
        EXPECT_EQ(c.unreachableUnsolicited, f.cutTo == 0 ? 1u : 0u);
        return;
    }
    EXPECT_EQ(counted, 1u);
    EXPECT_EQ(c.unreachableUnsolicited, 0u);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].reason, f.reason);
    EXPECT_EQ(heard[0].mtu, f.reportedMtu);
    EXPECT_EQ(heard[0].destination, UDPServer::Endpoint(loopback, destination.port()));
}

INSTANTIATE_TEST_SUITE_P(
    Forgeries, ForgedReportTest,
    ::testing::Values(
        Forgery{"PortUnsolicitedV4", false, 3, 3, 0, false, 0, false, Reason::Port, 0},
        Forgery{"PortSolicitedV4", false, 3, 3, 0, true, 0, true, Reason::Port, 0},
        Forgery{"FragNeededMtu0", false, 3, 4, 0, true, 0, true, Reason::TooBig, 0},
        Forgery{"FragNeededMtu60", false, 3, 4, 60, true, 0, true, Reason::TooBig, 0},
        Forgery{"FragNeededMtu1200", false, 3, 4, 1200, true, 0, true, Reason::TooBig, 1200},
        Forgery{"FragNeededUnsolicited", false, 3, 4, 1200, false, 0, false, Reason::TooBig, 0},
        Forgery{"InnerHeaderCutV4", false, 3, 3, 0, true, 24, false, Reason::Port, 0},
        Forgery{"PortUnsolicitedV6", true, 1, 4, 0, false, 0, false, Reason::Port, 0},
        Forgery{"PortSolicitedV6", true, 1, 4, 0, true, 0, true, Reason::Port, 0},
        Forgery{"PacketTooBigMtu100", true, 2, 0, 100, true, 0, true, Reason::TooBig, 0},
        Forgery{"PacketTooBigMtu1400", true, 2, 0, 1400, true, 0, true, Reason::TooBig, 1400},
        Forgery{"InnerHeaderCutV6", true, 1, 4, 0, true, 44, false, Reason::Port, 0}),
    [](const ::testing::TestParamInfo<Forgery>& info) { return std::string(info.param.name); });

}  // namespace
