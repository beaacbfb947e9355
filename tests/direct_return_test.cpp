// A host behind a load balancer that returns replies directly: the service
// address sits on the host's loopback, requests reach it through the host's
// interface, and replies leave from the service address.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"

using dravik_test::PeerSocket;

namespace {

const char* const kServiceAddress = "10.203.0.100";
const char* const kClientAddress = "10.203.1.2";

// The client's namespace, named so that a thread can enter it, and removed
// again however the test ends.
struct ClientNamespace {
    const std::string name = "dravik-dsr-" + std::to_string(::getpid());
    ~ClientNamespace() { std::system(("ip netns del " + name + " 2>/dev/null").c_str()); }
};

// The service address on the server namespace's loopback; the client's
// namespace reaches it through a veth pair, routed via the server's end.
std::string setup(const std::string& client) {
    const std::string in = "ip -n " + client + " ";
    return "ip link set lo up && ip addr add " + std::string(kServiceAddress) + "/32 dev lo && " +
           "ip netns add " + client + " && ip link add dsr0 type veth peer name dsr1 && " +
           "ip link set dsr1 netns " + client + " && ip addr add 10.203.1.1/24 dev dsr0 && " +
           "ip link set dsr0 up && " + in + "link set lo up && " + in + "addr add " +
           kClientAddress + "/24 dev dsr1 && " + in + "link set dsr1 up && " + in +
           "route add " + kServiceAddress + "/32 via 10.203.1.1";
}

// Answers every datagram with itself.
class Echo : public UDPServerDelegate {
public:
    explicit Echo(UDPServer& server) : server(server) {}
    void messageReceived(const char* data, std::uint64_t size) override { server.reply(data, size); }

private:
    UDPServer& server;
};

TEST(DirectReturnTest, RepliesLeaveFromTheServiceAddressOnLoopback) {
    ClientNamespace client;
    dravik_test::NetworkNamespace host(setup(client.name));
    if (!host.skipReason.empty()) GTEST_SKIP() << host.skipReason;
    UDPServer server(0, "0.0.0.0");
    server.setWorkers(2);
    Echo echo(server);
    server.setDelegate(&echo);
    server.start();
    const int port = server.localPort();

    // Clients on several ports, so that both workers answer some.
    std::vector<std::optional<std::string>> answers(8);
    std::vector<asio::ip::udp::endpoint> sources(answers.size());
    std::string failure;
    std::thread outside([&] {
        const int netns = ::open(("/run/netns/" + client.name).c_str(), O_RDONLY | O_CLOEXEC);
        if (netns < 0 || ::setns(netns, CLONE_NEWNET) != 0) {
            failure = "cannot enter the client's namespace";
            return;
        }
        ::close(netns);
        for (std::size_t i = 0; i < answers.size(); ++i) {
            PeerSocket socket(kClientAddress);
            const std::string request = "request " + std::to_string(i);
            socket.sendTo(port, request, kServiceAddress);
            answers[i] = socket.receive(std::chrono::seconds(5), &sources[i]);
        }
    });
    outside.join();
    server.stop();
    ASSERT_EQ(failure, "");
    for (std::size_t i = 0; i < answers.size(); ++i) {
        ASSERT_TRUE(answers[i]) << i;
        EXPECT_EQ(*answers[i], "request " + std::to_string(i));
        EXPECT_EQ(sources[i].address().to_string(), kServiceAddress);
        EXPECT_EQ(sources[i].port(), port);
    }
    EXPECT_EQ(server.counters().sent, answers.size());
}

}  // namespace
