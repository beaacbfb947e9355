#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include <dravik/UDPServer.h>

namespace dravik_test {

// Records every unreachable destination a server tells it of.
class UnreachableNotices : public UDPServer::UnreachableListener {
public:
    void destinationUnreachable(const UDPServer::Unreachable& unreachable) override;
    // What it heard once it heard `n` (or after 5 s); what it heard so far
    // for 0.
    std::vector<UDPServer::Unreachable> waitFor(std::size_t n);

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<UDPServer::Unreachable> heard;
};

}  // namespace dravik_test
