#include <gtest/gtest.h>

#include <dravik/DravikExtension.h>
#include <dravik/UDPServer.h>

#include "support/LogRecorder.h"
#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"
#include "support/Servers.h"

using velmora::extensions::dravik::DravikExtension;
using velmora::LogLevel;

namespace {

const char* const kAnnouncement = "Initialized Velmora Extension -- Dravik --";

TEST(DravikExtensionTest, EachInitializeLogsOneDebugLineAndNothingElse) {
    dravik_test::LogRecorder log;
    DravikExtension::initialize();
    DravikExtension::initialize();
    const dravik_test::LogLine line{LogLevel::Debug, kAnnouncement};
    EXPECT_EQ(log.lines(), (std::vector<dravik_test::LogLine>{line, line}));
}

TEST(DravikExtensionTest, ServerWorksWithoutInitialize) {
    dravik_test::LogRecorder log;
    dravik_test::RecordingDelegate delegate;  // outlives the server
    int port = 0;
    auto server = dravik_test::receiveOnlyServer(port);
    server->setDelegate(&delegate);
    server->start();
    dravik_test::PeerSocket().sendTo(port, "no initialize needed");
    ASSERT_TRUE(delegate.waitForCount(1));
    EXPECT_EQ(log.count(LogLevel::Debug, kAnnouncement), 0u);
}

}  // namespace
