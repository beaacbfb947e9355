// Trains: a sender hands the system equal datagrams as one segmented send
// (UDP_SEGMENT). A server whose maximum is raised takes them as one train
// where the system coalesces (UDP_GRO) and splits it again; one left at the
// default takes them one by one. Either way each datagram arrives as if it
// had come alone: in order, with its bytes and sender, counted once.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/RecordingDelegate.h"

namespace {

// A train of `count` datagrams of `size` bytes, the last `last` bytes long,
// each its own bytes, sent with one sendmsg; returns the datagrams.
std::vector<std::string> sendTrain(int socket, int port, std::size_t count, std::size_t size,
                                   std::size_t last, char first) {
    std::vector<std::string> datagrams;
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) {
        datagrams.emplace_back(i + 1 == count ? last : size, static_cast<char>(first + i % 64));
        bytes += datagrams.back();
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    iovec payload{bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto segmentSize = static_cast<std::uint16_t>(size);
    std::memcpy(CMSG_DATA(segment), &segmentSize, sizeof segmentSize);
    EXPECT_EQ(::sendmsg(socket, &message, 0), static_cast<ssize_t>(bytes.size()));
    return datagrams;
}

class TrainTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TrainTest, EveryDatagramOfATrainArrivesAsIfAlone) {
    dravik_test::RecordingDelegate delegate;  // outlives the server
    UDPServer server(0, "127.0.0.1");
    if (GetParam() != 0) server.setMaxDatagramSize(GetParam());
    const std::size_t most = static_cast<std::size_t>(server.maxDatagramSize());
    std::vector<std::string> senders;
    delegate.onMessage = [&](const std::string&) { senders.push_back(server.sender().toString()); };
    server.setDelegate(&delegate);
    server.start();

    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    std::vector<std::string> sent;
    for (const auto& train : {sendTrain(sender, server.localPort(), 50, 1200, 1200, 'A'),
                              sendTrain(sender, server.localPort(), 11, 1000, 500, 'a'),
                              sendTrain(sender, server.localPort(), 64, 1, 1, '0')}) {
        sent.insert(sent.end(), train.begin(), train.end());
    }
    sockaddr_in self{};
    socklen_t length = sizeof self;
    ::getsockname(sender, reinterpret_cast<sockaddr*>(&self), &length);
    ::close(sender);

    ASSERT_TRUE(delegate.waitForCount(sent.size()));
    server.stop();
    std::vector<std::string> expected;
    std::uint64_t cut = 0;
    for (const std::string& datagram : sent) {
        expected.push_back(datagram.substr(0, most));
        cut += datagram.size() > most ? 1 : 0;
    }
    EXPECT_EQ(delegate.messages(), expected);
    EXPECT_EQ(senders, std::vector<std::string>(sent.size(), "127.0.0.1:" +
                                                                 std::to_string(ntohs(self.sin_port))));
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.received, sent.size());
    EXPECT_EQ(c.delivered, sent.size());
    EXPECT_EQ(c.truncated, cut);
}

// Raised: trains where the system coalesces; the default: one by one.
INSTANTIATE_TEST_SUITE_P(RaisedAndDefault, TrainTest, ::testing::Values(65535u, 0u),
                         [](const ::testing::TestParamInfo<std::uint64_t>& info) {
                             return info.param != 0 ? std::string("Coalesced")
                                                    : std::string("OneByOne");
                         });

}  // namespace
