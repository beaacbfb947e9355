// Datagrams are taken from the socket in batches and delivered one at a
// time: a stop() between two deliveries keeps the rest for the next start(),
// and every datagram of a batch is judged on its own.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using dravik_test::PeerSocket;
using dravik_test::RecordingDelegate;

namespace {

// Holds the worker inside the delegate on chosen payloads until released.
class Gate {
public:
    // Set before the server starts.
    std::set<std::string> holdOn;

    void pass(const std::string& message) {
        if (!holdOn.count(message)) return;
        std::unique_lock<std::mutex> lock(mutex);
        heldOn = message;
        changed.notify_all();
        changed.wait(lock, [&] { return heldOn.empty(); });
    }
    bool waitUntilHeldOn(const std::string& message) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return heldOn == message; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        heldOn.clear();
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::string heldOn;
};

std::vector<std::string> numbered(int from, int to) {
    std::vector<std::string> messages;
    for (int i = from; i < to; ++i) messages.push_back(std::to_string(i));
    return messages;
}

class BatchReceptionTest : public ::testing::Test {
protected:
    void start(std::set<std::string> holdOn) {
        gate.holdOn = std::move(holdOn);
        delegate.onMessage = [this](const std::string& message) { gate.pass(message); };
        server = dravik_test::receiveOnlyServer(port);
        server->setDelegate(&delegate);
        server->start();
    }

    dravik_test::LogRecorder log;
    Gate gate;                   // outlives the server
    RecordingDelegate delegate;  // outlives the server
    PeerSocket peer;
    int port = 0;
    std::unique_ptr<UDPServer> server;
};

TEST_F(BatchReceptionTest, StopMidBatchKeepsTheRestForTheNextStartInOrderAndOnce) {
    start({"0", "1"});
    peer.sendTo(port, "0");
    ASSERT_TRUE(gate.waitUntilHeldOn("0"));
    for (const std::string& message : numbered(1, 20)) peer.sendTo(port, message);
    gate.release();
    // "1" came in one batch with those behind it; stop while it is delivered.
    ASSERT_TRUE(gate.waitUntilHeldOn("1"));
    std::thread stopper([&] { server->stop(); });
    EXPECT_TRUE(log.waitForLines("[UDPServer] Stopping"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the running flag
    gate.release();
    stopper.join();

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delegate.messages(), numbered(0, 2)) << "delivered while stopped";

    server->start();
    peer.sendTo(port, "20");
    ASSERT_TRUE(delegate.waitForCount(21));
    server->stop();
    EXPECT_EQ(delegate.messages(), numbered(0, 21));
}

TEST_F(BatchReceptionTest, EveryDatagramOfABatchIsJudgedOnItsOwn) {
    start({"hold"});
    peer.sendTo(port, "hold");
    ASSERT_TRUE(gate.waitUntilHeldOn("hold"));
    std::string longOne(1500, '\0');
    for (std::size_t i = 0; i < longOne.size(); ++i) longOne[i] = static_cast<char>('a' + i % 26);
    peer.sendTo(port, "before");
    peer.sendTo(port, longOne);
    peer.sendTo(port, "");
    peer.sendTo(port, "after");
    gate.release();

    ASSERT_TRUE(delegate.waitForCount(4));
    EXPECT_EQ(delegate.messages(),
              (std::vector<std::string>{"hold", "before", longOne.substr(0, 1024), "after"}));
    EXPECT_EQ(log.count(velmora::LogLevel::Error, "[UDPServer] Zero bytes received"), 1u);
}

}  // namespace
