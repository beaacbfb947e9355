// Thousands of construct/start/stop/destroy cycles must leave no file
// descriptor and no thread behind.
#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "support/RecordingDelegate.h"
#include "support/Servers.h"

#ifdef __linux__
#include <filesystem>
#endif

namespace {

#ifdef __linux__
std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}
#endif

TEST(LifecycleSoakTest, ThousandsOfCyclesLeakNoDescriptorOrThread) {
#ifndef __linux__
    GTEST_SKIP() << "counts descriptors and threads through /proc, which only Linux has";
#else
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Off);
    dravik_test::RecordingDelegate delegate;
    auto cycle = [&](int n) {
        int port = 0;
        auto server = n % 2 ? dravik_test::receiveOnlyServer(port)
                            : dravik_test::peerServer(n % 4 ? "127.0.0.1" : "::1", 9, port);
        server->setDelegate(&delegate);
        server->start();
        if (n % 3 == 0) server->stop();
    };
    // The first cycle lets the runtime start what it starts once (a sanitizer's
    // background thread, say) before anything is counted.
    cycle(0);
    const std::size_t descriptors = entriesIn("/proc/self/fd");
    const std::size_t threads = entriesIn("/proc/self/task");

    for (int n = 1; n < 3000; ++n) cycle(n);

    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Debug);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
#endif
}

}  // namespace
