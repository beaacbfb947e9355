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
std::atomic<bool> infoThrows{false};
// Every second "Received message" and "Sent" line throws while this is set.
std::atomic<bool> trafficLinesThrow{false};
std::atomic<int> trafficLines{0};

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

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
    if (trafficLinesThrow &&
        (startsWith(message, "[UDPServer] Received") || startsWith(message, "[UDPServer] Sent")) &&
        trafficLines.fetch_add(1) % 2 == 0) {
        throw std::runtime_error("host logger failed");
    }
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

// Throwing "Received message" and "Sent" lines cost neither a delivery nor
// the outcome lines taken with them; each throw is logged and the worker
// goes on.
TEST_F(ReplacedLoggerServerTest, ThrowingTrafficLinesCostNoDatagramAndNoOutcome) {
    SKIP_ON_WINDOWS();
    int senderPort = 0;
    auto sender = dravik_test::peerServer("127.0.0.1", port, senderPort);
    server->start();
    sender->start();

    constexpr int kDatagrams = 20;
    trafficLinesThrow = true;
    for (int i = 0; i < kDatagrams; ++i) {
        const std::string payload = "datagram " + std::to_string(i);
        ASSERT_EQ(sender->send(payload.data(), payload.size()), UDPServer::Ok);
    }
    EXPECT_TRUE(delegate.waitForCount(kDatagrams));
    // Every outcome is told, or tried to be: a line dropped with a throwing
    // one would never reach the logger.
    for (int i = 0; i < 500 && trafficLines.load() < 2 * kDatagrams; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(trafficLines.load(), 2 * kDatagrams);
    trafficLinesThrow = false;
    sender->stop();
    server->stop();
    EXPECT_EQ(delegate.count(), static_cast<std::size_t>(kDatagrams));
    std::size_t workerErrors = 0;
    for (const std::string& line : recorded()) {
        workerErrors += line.find("Error on worker thread") != std::string::npos;
    }
    EXPECT_GT(workerErrors, 0u);
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
