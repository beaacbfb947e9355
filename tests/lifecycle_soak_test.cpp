// Thousands of construct/start/stop/destroy cycles must leave no file
// descriptor (Windows: handle) and no thread behind.
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>
#include <velmora/LogControl.h>

#include "support/RecordingDelegate.h"
#include "support/Servers.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace {

#ifdef _WIN32
std::size_t openDescriptors() {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return handles;
}

std::size_t runningThreads() {
    std::size_t count = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}
#else
std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}

std::size_t openDescriptors() { return entriesIn("/proc/self/fd"); }
std::size_t runningThreads() { return entriesIn("/proc/self/task"); }
#endif

class LifecycleSoakTest : public ::testing::Test {
protected:
    void SetUp() override { velmora::LogControl::setMinimumLevel(velmora::LogLevel::Off); }
    void TearDown() override { velmora::LogControl::setMinimumLevel(previousLevel); }

    const velmora::LogLevel previousLevel = velmora::LogControl::minimumLevel();

    // Both modes and families, stopped explicitly or only by the destructor.
    void cycle(int n) {
        int port = 0;
        auto server = n % 2 ? dravik_test::receiveOnlyServer(port)
                            : dravik_test::peerServer(n % 4 ? "127.0.0.1" : "::1", 9, port);
        server->setDelegate(&delegate);
        server->start();
        if (n % 3 == 0) server->stop();
    }

    // Runs the cycles and returns `count()` before and after them. The first
    // cycle lets the runtime start what it starts once (a sanitizer's
    // background thread, say) before anything is counted. A joined thread
    // may still be listed for a moment while the system reaps it, so the
    // count after is given a second to come back.
    template <typename Count>
    std::pair<std::size_t, std::size_t> countAround(Count count) {
        cycle(0);
        const std::size_t before = count();
        for (int n = 1; n < 3000; ++n) cycle(n);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (count() != before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return {before, count()};
    }

    dravik_test::RecordingDelegate delegate;
};

TEST_F(LifecycleSoakTest, ThousandsOfCyclesLeakNoThread) {
    const auto [before, after] = countAround(runningThreads);
    EXPECT_EQ(after, before);
}

TEST_F(LifecycleSoakTest, ThousandsOfCyclesLeakNoDescriptor) {
    if (openDescriptors() == 0) {
        GTEST_SKIP() << "this platform reports no handle count (Wine's GetProcessHandleCount "
                        "always gives 0)";
    }
    const auto [before, after] = countAround(openDescriptors);
    EXPECT_EQ(after, before);
}

}  // namespace
