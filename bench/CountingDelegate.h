#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include <dravik/UDPServer.h>

// Counts what reaches the application and remembers the delivering thread.
class CountingDelegate : public UDPServerDelegate {
public:
    void messageReceived(const char*, std::uint64_t) override;
    pthread_t workerThread();
    std::atomic<long> count{0};

private:
    std::mutex mutex;
    pthread_t worker{};
};

// CPU time of another thread of this process, in nanoseconds.
long long cpuNanosOf(pthread_t thread);
