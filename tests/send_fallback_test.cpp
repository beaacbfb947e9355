// When the send buffer is full, a send waits with a copy of its bytes until
// the worker finds room, and later sends queue behind it. Loopback never fills
// a send buffer, so this executable replaces sendto, which the library's
// sends call, with one that reports a full buffer to the sending threads on
// every fourth call; the worker's own calls always go through.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/Servers.h"

namespace {
std::atomic<int> refused{0};
thread_local bool sendingThread = false;
thread_local int calls = 0;
}  // namespace

extern "C" ssize_t sendto(int fd, const void* data, size_t size, int flags,
                          const struct sockaddr* to, socklen_t toSize) {
    if (sendingThread && ++calls % 4 == 0) {
        refused.fetch_add(1);
        errno = EAGAIN;
        return -1;
    }
    return ::syscall(SYS_sendto, fd, data, size, flags, to, toSize);
}

namespace {

constexpr int kThreads = 3;
constexpr int kPerThread = 60;

TEST(SendFallbackTest, SendsThatFindTheBufferFullLeaveInEachThreadsOrder) {
    dravik_test::LogRecorder log;
    dravik_test::PeerSocket peer;
    int port = 0;
    auto server = dravik_test::peerServer("127.0.0.1", peer.port(), port);
    server->start();

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            sendingThread = true;
            for (int s = 0; s < kPerThread; ++s) {
                std::string payload = std::to_string(t) + " " + std::to_string(s);
                ASSERT_EQ(server->send(payload.data(), payload.size()), UDPServer::Ok);
                payload.assign(payload.size(), '#');  // the caller reuses its buffer at once
            }
        });
    }
    for (std::thread& sender : senders) sender.join();
    ASSERT_TRUE(log.waitForLines("[UDPServer] Sent ", kThreads * kPerThread));
    server->stop();

    std::vector<int> next(kThreads, 0);
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        const auto datagram = peer.receive();
        ASSERT_TRUE(datagram) << "datagram " << i << " missing";
        int thread = -1, sequence = -1;
        ASSERT_EQ(std::sscanf(datagram->c_str(), "%d %d", &thread, &sequence), 2) << *datagram;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << *datagram;
        EXPECT_EQ(sequence, next[thread]) << "thread " << thread << " out of order";
        next[thread] = sequence + 1;
    }
    EXPECT_GT(refused.load(), 0);
    EXPECT_TRUE(log.linesStartingWith("[UDPServer] Error").empty());
}

}  // namespace
