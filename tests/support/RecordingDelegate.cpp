#include "support/RecordingDelegate.h"

namespace dravik_test {

void RecordingDelegate::messageReceived(const char* data, std::uint64_t size) {
    if (inside.fetch_add(1) != 0) ++overlapping;
    if (isClosed) ++late;
    std::string message(data, static_cast<std::size_t>(size));
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(message);
    }
    changed.notify_all();
    struct Leave {
        std::atomic<int>& inside;
        ~Leave() { --inside; }
    } leave{inside};
    if (onMessage) onMessage(message);
}

std::vector<std::string> RecordingDelegate::messages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

std::size_t RecordingDelegate::count() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
}

bool RecordingDelegate::waitForCount(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received.size() >= n; });
}

}  // namespace dravik_test
