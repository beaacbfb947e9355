// A socket the caller opened and bound, adopted by a server: used as it is,
// owned from then on, and refused (left open) when it is no bound UDP socket.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"

using dravik_test::PeerSocket;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

// A socket of `family` and `type`, bound to the loopback address (port 0: a
// free one) unless `bind` is false; `reusePort` before it binds.
int openSocket(int family, int type, bool bind = true, bool reusePort = false) {
    const int fd = ::socket(family, type, 0);
    const int on = 1;
    if (reusePort) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    if (!bind) return fd;
    sockaddr_storage address{};
    socklen_t size;
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        size = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof *v4;
    }
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0) << std::strerror(errno);
    return fd;
}

int boundPort(int fd) {
    sockaddr_in6 address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin6_port);  // sin_port lies at the same place
}

struct Adoption {
    const char* name;
    int family;
    const char* loopback;
    bool peer;
};

class AdoptSocketTest : public ::testing::TestWithParam<Adoption> {};

TEST_P(AdoptSocketTest, ServesOnTheSocketAsBoundAndClosesItWhenDestroyed) {
    const Adoption& a = GetParam();
    const int fd = openSocket(a.family, SOCK_DGRAM);
    const int port = boundPort(fd);
    PeerSocket client(a.loopback);
    dravik_test::RecordingDelegate delegate;
    {
        std::unique_ptr<UDPServer> server =
            a.peer ? std::make_unique<UDPServer>(UDPServer::AdoptedSocket{std::uintptr_t(fd)},
                                                 a.loopback, client.port())
                   : std::make_unique<UDPServer>(UDPServer::AdoptedSocket{std::uintptr_t(fd)});
        EXPECT_EQ(server->localPort(), port);
        server->setDelegate(&delegate);
        server->start();
        client.sendTo(port, "hello");
        ASSERT_TRUE(delegate.waitForCount(1));
        if (a.peer) {
            ASSERT_EQ(server->send("back", 4), UDPServer::Ok);
        } else {
            const std::string text = "back";
            ASSERT_EQ(server->sendTo(UDPServer::Endpoint(a.loopback, client.port()), text.data(),
                                     text.size()),
                      UDPServer::Ok);
        }
        EXPECT_EQ(client.receive(), std::optional<std::string>("back"));
        EXPECT_TRUE(isOpen(fd));
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    }
    EXPECT_FALSE(isOpen(fd));
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, AdoptSocketTest,
    ::testing::Values(Adoption{"ReceiveOnlyIPv4", AF_INET, "127.0.0.1", false},
                      Adoption{"ReceiveOnlyIPv6", AF_INET6, "::1", false},
                      Adoption{"PeerIPv4", AF_INET, "127.0.0.1", true},
                      Adoption{"PeerIPv6", AF_INET6, "::1", true}),
    [](const ::testing::TestParamInfo<Adoption>& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    int family;
    int type;  // 0: a pipe's end; -1: a closed descriptor
    bool bind;
    const char* remote;  // peer mode toward this address; null: receive-only
    std::errc code;
};

class AdoptRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(AdoptRefusalTest, RefusesAndLeavesTheDescriptorOpen) {
    const Refusal& r = GetParam();
    int fd;
    int pipeEnds[2] = {-1, -1};
    if (r.type == 0) {
        ASSERT_EQ(::pipe(pipeEnds), 0);
        fd = pipeEnds[0];
    } else if (r.type < 0) {
        fd = openSocket(AF_INET, SOCK_DGRAM);
        ::close(fd);
    } else {
        fd = openSocket(r.family, r.type, r.bind);
    }
    const int flags = r.type < 0 ? -1 : ::fcntl(fd, F_GETFL);
    try {
        if (r.remote) {
            UDPServer server(UDPServer::AdoptedSocket{std::uintptr_t(fd)}, r.remote, 9);
        } else {
            UDPServer server(UDPServer::AdoptedSocket{std::uintptr_t(fd)});
        }
        FAIL() << "adopted";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), r.code) << e.what();
        EXPECT_NE(std::string(e.what()).find("adopt: "), std::string::npos) << e.what();
    }
    if (r.type >= 0) {
        EXPECT_TRUE(isOpen(fd));
        EXPECT_EQ(::fcntl(fd, F_GETFL), flags);  // not made non-blocking either
        ::close(fd);
    }
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, AdoptRefusalTest,
    ::testing::Values(
        Refusal{"Tcp", AF_INET, SOCK_STREAM, true, nullptr, std::errc::wrong_protocol_type},
        Refusal{"Unbound", AF_INET, SOCK_DGRAM, false, nullptr, std::errc::invalid_argument},
        Refusal{"Closed", AF_INET, -1, true, nullptr, std::errc::bad_file_descriptor},
        Refusal{"Pipe", AF_INET, 0, true, nullptr, std::errc::not_a_socket},
        Refusal{"PeerOfTheOtherFamily", AF_INET, SOCK_DGRAM, true, "::1",
                std::errc::address_family_not_supported}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(AdoptWorkersTest, OnlyASocketInAPortGroupTakesMoreWorkers) {
    const int alone = openSocket(AF_INET, SOCK_DGRAM);
    UDPServer lone(UDPServer::AdoptedSocket{std::uintptr_t(alone)});
    try {
        lone.setWorkers(2);
        FAIL() << "joined a socket outside a port group";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::operation_not_supported);
        EXPECT_NE(std::string(e.what()).find("SO_REUSEPORT"), std::string::npos) << e.what();
    }
    const int grouped = openSocket(AF_INET, SOCK_DGRAM, true, true);
    UDPServer server(UDPServer::AdoptedSocket{std::uintptr_t(grouped)});
    server.setWorkers(2);
    EXPECT_EQ(server.workers(), 2);
    dravik_test::RecordingDelegate delegate;
    server.setDelegate(&delegate);
    server.start();
    std::vector<std::unique_ptr<PeerSocket>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<PeerSocket>());
        clients.back()->sendTo(server.localPort(), "x");
    }
    EXPECT_TRUE(delegate.waitForCount(16));
    server.stop();
}

}  // namespace
