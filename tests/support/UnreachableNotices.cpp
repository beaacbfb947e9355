#include "support/UnreachableNotices.h"

namespace dravik_test {

void UnreachableNotices::destinationUnreachable(const UDPServer::Unreachable& unreachable) {
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back(unreachable);
    changed.notify_all();
}

std::vector<UDPServer::Unreachable> UnreachableNotices::waitFor(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return heard.size() >= n; });
    return heard;
}

}  // namespace dravik_test
