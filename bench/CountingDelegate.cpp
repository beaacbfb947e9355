#include "CountingDelegate.h"

#include <time.h>

void CountingDelegate::messageReceived(const char*, std::uint64_t) {
    if (count.load(std::memory_order_relaxed) == 0) {
        std::lock_guard<std::mutex> lock(mutex);
        worker = pthread_self();
    }
    count.fetch_add(1, std::memory_order_release);
}

pthread_t CountingDelegate::workerThread() {
    std::lock_guard<std::mutex> lock(mutex);
    return worker;
}

long long cpuNanosOf(pthread_t thread) {
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &now) != 0) return 0;
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
