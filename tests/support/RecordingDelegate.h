#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <dravik/UDPServerDelegate.h>

namespace dravik_test {

// Records every datagram delivered to it, and counts calls that overlapped
// another call or arrived after closed() was called.
class RecordingDelegate : public UDPServerDelegate {
public:
    void messageReceived(const char* data, std::uint64_t size) override;

    std::vector<std::string> messages() const;
    std::size_t count() const;
    bool waitForCount(std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // Run inside every call, after the datagram is recorded (say, to sleep or
    // throw). Set it before the server starts.
    std::function<void(const std::string&)> onMessage;

    // From now on any call is counted as late.
    void closed() { isClosed = true; }
    int overlappingCalls() const { return overlapping; }
    int lateCalls() const { return late; }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> received;
    std::atomic<int> inside{0};
    std::atomic<int> overlapping{0};
    std::atomic<int> late{0};
    std::atomic<bool> isClosed{false};
};

}  // namespace dravik_test
