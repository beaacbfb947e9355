// This executable defines velmora::Logger itself, as a host application or a
// real SDK may: the extension must log through these definitions, not the
// stand-in's, without being rebuilt.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

namespace {

std::mutex linesMutex;
std::vector<std::string> lines;
std::atomic<bool> debugThrows{false};
std::atomic<bool> infoThrows{false};

void record(const char* level, const std::string& message) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back(std::string(level) + message);
}

std::vector<std::string> recorded() {
    std::lock_guard<std::mutex> lock(linesMutex);
    return lines;
}

}  // namespace

namespace velmora {
class Logger {
public:
    static void info(const std::string& message);
    static void error(const std::string& message);
    static void debug(const std::string& message);
};

void Logger::info(const std::string& message) {
    if (infoThrows) throw std::runtime_error("host logger failed");
    record("info ", message);
}
void Logger::error(const std::string& message) { record("error ", message); }
void Logger::debug(const std::string& message) {
    if (debugThrows) throw std::runtime_error("host logger failed");
    record("debug ", message);
}
}  // namespace velmora

namespace {

#ifdef _WIN32
#define SKIP_ON_WINDOWS()                                                                   \
    GTEST_SKIP() << "on Windows the DLL's imports are bound to VelmoraSDK.dll; an executable " \
                    "cannot take the logger's place"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

TEST(ReplacedLoggerTest, ExtensionLogsThroughTheHostsOwnLogger) {
    SKIP_ON_WINDOWS();
    int port = 0;
    dravik_test::receiveOnlyServer(port).reset();
    EXPECT_EQ(recorded().back(), "info [UDPServer] Stopping on port " + std::to_string(port));
}

// A receive-only server with a recording delegate, and a peer to send to it.
class ReplacedLoggerServerTest : public ::testing::Test {
protected:
    ReplacedLoggerServerTest() { server->setDelegate(&delegate); }

    dravik_test::RecordingDelegate delegate;  // outlives the server
    int port = 0;
    std::unique_ptr<UDPServer> server = dravik_test::receiveOnlyServer(port);
    dravik_test::PeerSocket peer;
};

TEST_F(ReplacedLoggerServerTest, ThrowingLoggerOnTheWorkerIsSurvivedAndReceptionGoesOn) {
    SKIP_ON_WINDOWS();
    server->start();

    debugThrows = true;
    peer.sendTo(port, "lost with its log line");
    const std::string failure = "error [UDPServer] Error on worker thread on port " +
                                std::to_string(port) + ": host logger failed";
    for (int i = 0; i < 500 && recorded().back() != failure; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(recorded().back(), failure);

    debugThrows = false;
    peer.sendTo(port, "delivered");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(delegate.messages(), std::vector<std::string>{"delivered"});
}

// A host logger that breaks its promise and throws from the "Starting" or
// "Stopping" line: start() leaves the server stopped, stop() still stops it,
// and the destructor survives.
TEST_F(ReplacedLoggerServerTest, ThrowingStartAndStopLinesLeaveTheServerCleanlyStopped) {
    SKIP_ON_WINDOWS();

    infoThrows = true;
    EXPECT_THROW(server->start(), std::runtime_error);
    infoThrows = false;
    server->start();  // it was left stopped, so this starts it
    peer.sendTo(port, "one");
    ASSERT_TRUE(delegate.waitForCount(1));

    infoThrows = true;
    EXPECT_THROW(server->stop(), std::runtime_error);
    infoThrows = false;
    peer.sendTo(port, "two");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delegate.count(), 1u) << "the worker still ran after stop() threw";
    server->start();  // not refused: the worker was joined
    ASSERT_TRUE(delegate.waitForCount(2));

    infoThrows = true;
    server.reset();  // the destructor's stop() throws inside; the process goes on
    infoThrows = false;
}

}  // namespace
