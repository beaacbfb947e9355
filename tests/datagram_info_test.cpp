// What the network says about each datagram: its traffic class (DSCP and
// ECN), its hop limit, when it arrived and on which interface; and replies
// marked with a traffic class of their own.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/NetworkNamespace.h"

namespace {

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Mark {
    int trafficClass;
    int hopLimit;
};

// A client socket that marks what it sends and reads the marks of what it
// receives.
class MarkingClient {
public:
    explicit MarkingClient(bool v6) : v6(v6), fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0)) {
        const int on = 1;
        ::setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVTCLASS : IP_RECVTOS, &on,
                     sizeof on);
        ::setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVHOPLIMIT : IP_RECVTTL, &on,
                     sizeof on);
        timeval wait{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~MarkingClient() { ::close(fd); }

    void send(int port, int trafficClass, int hopLimit, const std::string& bytes) {
        const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
        ::setsockopt(fd, level, v6 ? IPV6_TCLASS : IP_TOS, &trafficClass, sizeof trafficClass);
        ::setsockopt(fd, level, v6 ? IPV6_UNICAST_HOPS : IP_TTL, &hopLimit, sizeof hopLimit);
        sockaddr_in6 to6{};
        to6.sin6_family = AF_INET6;
        to6.sin6_port = htons(static_cast<std::uint16_t>(port));
        to6.sin6_addr = in6addr_loopback;
        sockaddr_in to4{};
        to4.sin_family = AF_INET;
        to4.sin_port = to6.sin6_port;
        to4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, bytes.data(), bytes.size(), 0,
                 v6 ? reinterpret_cast<sockaddr*>(&to6) : reinterpret_cast<sockaddr*>(&to4),
                 v6 ? sizeof to6 : sizeof to4);
    }

    // The marks of the next datagram, or nothing after 5 s.
    std::optional<Mark> receiveMarks() {
        char bytes[256];
        alignas(cmsghdr) char control[256];
        iovec part{bytes, sizeof bytes};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(fd, &message, 0) < 0) return std::nullopt;
        Mark marks{-1, -1};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            int value = 0;
            std::memcpy(&value, CMSG_DATA(c), std::min<std::size_t>(sizeof value, c->cmsg_len - CMSG_LEN(0)));
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) marks.trafficClass = value & 0xFF;
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) marks.trafficClass = value;
            if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
                (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
                marks.hopLimit = value;
            }
        }
        return marks;
    }

private:
    const bool v6;
    const int fd;
};

// Records what it learns of each datagram and answers it marked with the
// class the datagram names.
class Informed : public UDPServerDelegate {
public:
    explicit Informed(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        UDPServer::DatagramInfo info;
        EXPECT_TRUE(server.readDatagramInfo(info));
        {
            std::lock_guard<std::mutex> lock(mutex);
            infos.push_back(info);
        }
        const int answerClass = std::stoi(std::string(data, size));
        server.reply("answer", 6, answerClass);
    }
    std::vector<UDPServer::DatagramInfo> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return infos;
    }

private:
    UDPServer& server;
    std::mutex mutex;
    std::vector<UDPServer::DatagramInfo> infos;
};

struct Family {
    const char* name;
    const char* bind;
    bool v6;
    const char* setup;
};

// Every ECN codepoint, with and without a DSCP, and hop limits from 1 up.
const Mark kMarks[] = {{0x00, 64}, {0x01, 1},  {0x02, 2},   {0x03, 255}, {0xB8, 17},
                       {0xBA, 33}, {0x28, 128}, {0x29, 64}, {0xE3, 200}};

class DatagramInfoTest : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        if (GetParam().setup) {
            link = std::make_unique<dravik_test::NetworkNamespace>(GetParam().setup);
            if (!link->skipReason.empty()) GTEST_SKIP() << link->skipReason;
        }
        server = std::make_unique<UDPServer>(0, GetParam().bind);
    }
    void TearDown() override {
        if (server) server->stop();
    }

    std::unique_ptr<dravik_test::NetworkNamespace> link;
    std::unique_ptr<UDPServer> server;
};

TEST_P(DatagramInfoTest, TheServerSeesEachMarkAndMarksItsRepliesAsAsked) {
    server->setReceiveInfo(true);
    Informed informed(*server);
    server->setDelegate(&informed);
    server->start();
    MarkingClient client(GetParam().v6);
    const std::int64_t before = nowNanoseconds();
    std::vector<std::optional<int>> answers;
    for (const Mark& mark : kMarks) {
        // Each reply is asked to carry the class with its bits reversed.
        const int answerClass = 255 - mark.trafficClass;
        client.send(server->localPort(), mark.trafficClass, mark.hopLimit,
                    std::to_string(answerClass));
        const auto marks = client.receiveMarks();
        answers.push_back(marks ? std::optional<int>(marks->trafficClass) : std::nullopt);
    }
    const std::int64_t after = nowNanoseconds();
    const auto seen = informed.seen();
    ASSERT_EQ(seen.size(), std::size(kMarks));
    std::int64_t previous = before;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].trafficClass, kMarks[i].trafficClass);
        EXPECT_EQ(seen[i].hopLimit, kMarks[i].hopLimit);
        EXPECT_GE(seen[i].receivedAt, previous);
        EXPECT_LE(seen[i].receivedAt, after);
        previous = seen[i].receivedAt;
        EXPECT_EQ(seen[i].interfaceIndex, ::if_nametoindex("lo"));
        EXPECT_STREQ(seen[i].interfaceName, "lo");
        EXPECT_EQ(answers[i], 255 - kMarks[i].trafficClass);
    }
}

// The server's own marks on what it sends, on each of two workers (the second
// added after the marks were set); a datagram's own class wins.
TEST_P(DatagramInfoTest, TheServersTrafficClassAndHopLimitReachThePeer) {
    server->setTrafficClass(0x48);
    server->setHopLimit(9);
    server->setWorkers(2);
    Informed informed(*server);
    server->setDelegate(&informed);
    server->start();
    for (int n = 0; n < 8; ++n) {  // clients on 8 ports, spread over both workers
        MarkingClient client(GetParam().v6);
        const int answerClass = n == 0 ? server->withEcn(3) : -1;
        client.send(server->localPort(), 0, 64, std::to_string(answerClass));
        const auto marks = client.receiveMarks();
        ASSERT_TRUE(marks) << n;
        EXPECT_EQ(marks->trafficClass, n == 0 ? 0x4B : 0x48) << n;
        EXPECT_EQ(marks->hopLimit, 9) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, DatagramInfoTest,
    ::testing::Values(Family{"IPv4", "0.0.0.0", false, nullptr},
                      Family{"DualStack", "::", false, nullptr},
                      Family{"IPv6", "::", true, "ip link set lo up"}),
    [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

}  // namespace
