// Serving any sender: who sent each datagram, where it arrived, replies from
// that address, and sends to destinations of the caller's.
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "support/Platform.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using dravik_test::LogLine;
using dravik_test::LogRecorder;
using dravik_test::PeerSocket;
using velmora::LogLevel;

namespace {

const char* const kStoppedLine = "[UDPServer] Error: Trying to send on a stopped UDP server";
const char* const kNoRemoteLine = "[UDPServer] Error: No remote endpoint available to send data";

// Answers every datagram with "re: " and what it learnt of it.
class Responder : public UDPServerDelegate {
public:
    explicit Responder(UDPServer*& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override {
        const std::string answer = "re: " + std::string(data, size) + " from " +
                                   server->sender().toString() + " to " +
                                   server->destination().toString();
        std::lock_guard<std::mutex> lock(mutex);
        results.push_back(server->reply(answer.data(), answer.size()));
    }
    std::vector<UDPServer::Error> replies() const {
        std::lock_guard<std::mutex> lock(mutex);
        return results;
    }

private:
    UDPServer*& server;
    mutable std::mutex mutex;
    std::vector<UDPServer::Error> results;
};

struct Host {
    const char* name;
    const char* bind;
    const char* clients[2];
    const char* setup;  // a namespace with these addresses; null: none needed
};

class AnySenderTest : public ::testing::TestWithParam<Host> {};

// Each client learns, from the reply's text and its source, that the server
// saw its address and port and answered from the address it sent to.
TEST_P(AnySenderTest, RepliesComeFromTheAddressEachClientUsed) {
    const Host h = GetParam();
    std::unique_ptr<dravik_test::NetworkNamespace> link;
    if (h.setup) link = std::make_unique<dravik_test::NetworkNamespace>(h.setup);
    if (link && !link->skipReason.empty()) GTEST_SKIP() << link->skipReason;
    UDPServer* self = nullptr;
    Responder responder(self);
    UDPServer server(0, h.bind);
    self = &server;
    server.setDelegate(&responder);
    server.start();
    // Wine sends from 127.0.0.1 whatever 127.x address a socket is bound to,
    // and WSASendMsg there ignores the source it is given: only where each
    // datagram arrived is checked.
    const bool wine = dravik_test::runningUnderWine();
    for (const char* address : h.clients) {
        PeerSocket client(address);
        const UDPServer::Endpoint at(address, server.localPort());
        client.sendTo(server.localPort(), "hi", address);
        asio::ip::udp::endpoint from;
        const auto answer = client.receive(std::chrono::seconds(5), &from);
        ASSERT_TRUE(answer) << address;
        const std::string seen = UDPServer::Endpoint(address, client.port()).toString();
        EXPECT_EQ(*answer, "re: hi from " + (wine ? answer->substr(12, seen.size()) : seen) +
                               " to " + at.toString());
        if (!wine) {
            EXPECT_EQ(UDPServer::Endpoint(from.address().to_string(), from.port()), at);
        }
    }
    server.stop();
    EXPECT_EQ(responder.replies(), std::vector<UDPServer::Error>(2, UDPServer::Ok));
    const UDPServer::Counters c = server.counters();
    EXPECT_EQ(c.sendsAccepted, 2u);
    EXPECT_EQ(c.sent, 2u);
    if (wine) GTEST_SKIP() << "under Wine only destination() is checked: senders and reply sources "
                              "on a second loopback address come out as 127.0.0.1";
}

INSTANTIATE_TEST_SUITE_P(
    WildcardServers, AnySenderTest,
    ::testing::Values(Host{"IPv4", "0.0.0.0", {"127.0.0.1", "127.0.0.2"}, nullptr},
                      Host{"DualStack", "::", {"127.0.0.1", "127.0.0.2"}, nullptr},
                      Host{"IPv6", "::", {"fd00::1", "fd00::2"},
                           "ip link set lo up && ip -6 addr add fd00::1/128 dev lo nodad && "
                           "ip -6 addr add fd00::2/128 dev lo nodad"}),
    [](const ::testing::TestParamInfo<Host>& info) { return std::string(info.param.name); });

TEST(EndpointTest, ParsesShowsAndComparesAddresses) {
    EXPECT_TRUE(UDPServer::Endpoint().empty());
    EXPECT_EQ(UDPServer::Endpoint().toString(), "");
    EXPECT_EQ(UDPServer::Endpoint("192.0.2.1", 5000).toString(), "192.0.2.1:5000");
    EXPECT_EQ(UDPServer::Endpoint("2001:db8::1", 5000).toString(), "[2001:db8::1]:5000");
    EXPECT_EQ(UDPServer::Endpoint("::ffff:192.0.2.1", 7), UDPServer::Endpoint("192.0.2.1", 7));
    EXPECT_EQ(UDPServer::Endpoint("::ffff:192.0.2.1", 7).address(), "192.0.2.1");
    EXPECT_NE(UDPServer::Endpoint("192.0.2.1", 7), UDPServer::Endpoint("192.0.2.1", 8));
    for (const auto& bad : {std::make_pair("localhost", 1), std::make_pair("1.2.3.4:5", 1),
                            std::make_pair("192.0.2.1", -1), std::make_pair("::1", 65536),
                            std::make_pair("::1%", 1), std::make_pair("fe80::1%", 1)}) {
        try {
            UDPServer::Endpoint(bad.first, bad.second);
            ADD_FAILURE() << bad.first << " " << bad.second;
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::errc::invalid_argument) << bad.first;
        }
    }
}

class AddressedSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = dravik_test::receiveOnlyServer(port);
        server->start();
    }
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

// Outside a delivery there is no one to reply to; stopped, nothing is sent.
TEST_F(AddressedSendTest, RefusalsReturnTheirCodesWithTheirLines) {
    const UDPServer::Endpoint unspecified("0.0.0.0", 9), noPort("127.0.0.1", 0);
    {
        LogRecorder log;
        EXPECT_EQ(server->reply("x", 1), UDPServer::NoRemoteEndpoint);
        EXPECT_TRUE(server->sender().empty());
        EXPECT_EQ(server->sendTo(UDPServer::Endpoint(), "x", 1), UDPServer::NoRemoteEndpoint);
        EXPECT_EQ(server->sendTo(unspecified, "x", 1), UDPServer::NoRemoteEndpoint);
        EXPECT_EQ(server->sendTo(noPort, "x", 1), UDPServer::NoRemoteEndpoint);
        EXPECT_EQ(log.lines(), std::vector<LogLine>(4, LogLine{LogLevel::Error, kNoRemoteLine}));
    }
    // The system refuses an IPv6 destination on an IPv4 socket: a line, later.
    LogRecorder log;
    EXPECT_EQ(server->sendTo(UDPServer::Endpoint("::1", 9), "x", 1), UDPServer::Ok);
    EXPECT_TRUE(log.waitForLines("[UDPServer] Error sending data on port " + std::to_string(port)));
    server->stop();
    EXPECT_EQ(server->reply("x", 1), UDPServer::NotRunning);
    EXPECT_EQ(server->sendTo(UDPServer::Endpoint("127.0.0.1", 9), "x", 1), UDPServer::NotRunning);
    EXPECT_EQ(log.count(LogLevel::Error, kStoppedLine), 2u);
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.sendsAccepted, 1u);
    EXPECT_EQ(c.sendsFailed, 1u);
}

// Each destination gets its datagrams in order; the batch stops at the first
// datagram with nowhere to go.
TEST_F(AddressedSendTest, BatchArrivesAtEachDestinationInOrder) {
    PeerSocket peers[3];
    std::vector<std::string> payloads;
    std::vector<UDPServer::AddressedDatagram> batch;
    for (int i = 0; i < 90; ++i) payloads.push_back(std::string(1 + i % 7, char('a' + i % 26)));
    for (int i = 0; i < 90; ++i) {
        batch.push_back({UDPServer::Endpoint("127.0.0.1", peers[i % 3].port()),
                         payloads[static_cast<std::size_t>(i)].data(),
                         payloads[static_cast<std::size_t>(i)].size()});
    }
    batch[80].to = UDPServer::Endpoint();
    LogRecorder log;
    UDPServer::Error refusal = UDPServer::Ok;
    EXPECT_EQ(server->sendTo(batch.data(), batch.size(), &refusal), 80u);
    EXPECT_EQ(refusal, UDPServer::NoRemoteEndpoint);
    for (std::size_t i = 0; i < 80; ++i) {
        EXPECT_EQ(peers[i % 3].receive(), payloads[i]) << i;
    }
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", 80));
    EXPECT_EQ(log.linesStartingWith("[UDPServer] Sending message on port " + std::to_string(port) +
                                    " to 127.0.0.1:")
                  .size(),
              80u);
    EXPECT_EQ(log.count(LogLevel::Error, kNoRemoteLine), 1u);
}

// Replies are copies until their batch is over, held to the bound of the
// copies: a delegate that answers one request with megabytes is refused.
TEST_F(AddressedSendTest, RepliesBeyondTheBoundAreRefused) {
    std::vector<UDPServer::Error> results;
    std::promise<void> replied;
    dravik_test::RecordingDelegate delegate;
    const std::string large(60000, 'r');
    delegate.onMessage = [&](const std::string&) {
        for (int i = 0; i < 100 && (results.empty() || results.back() == UDPServer::Ok); ++i) {
            results.push_back(server->reply(large.data(), large.size()));
        }
        replied.set_value();
    };
    server->setDelegate(&delegate);
    PeerSocket client;
    client.sendTo(port, "flood me", "127.0.0.1");
    ASSERT_EQ(replied.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    server->stop();
    ASSERT_GE(results.size(), 2u);
    EXPECT_EQ(results.back(), UDPServer::SendQueueFull);
    const UDPServer::Counters c = server->counters();
    EXPECT_EQ(c.sendsAccepted, results.size() - 1);
    EXPECT_EQ(c.sendsQueueFull, 1u);
    EXPECT_EQ(c.sendsAccepted, c.sent + c.sendsFailed + c.sendsDiscarded);
}

}  // namespace
