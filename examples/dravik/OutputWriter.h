#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace dravik_app {

// Text for standard output, handed over by the server's worker and written
// by a thread of its own: a reader that stops reading stalls the writing
// thread alone, never the worker or a stop(), and an interrupt ends its wait.
// The queue holds kCapacity bytes at most; a post() beyond that waits for
// room, so a slow reader slows reception down (the system then drops and
// counts what its buffer cannot hold) instead of growing memory.
class OutputWriter {
public:
    static constexpr std::size_t kCapacity = 1 << 20;

    OutputWriter();
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Queues `text`; false, dropping it, once the writer is closed.
    bool post(std::string text);
    // Waits until everything queued has been written, or until an interrupt
    // or a write error ends the writing.
    void drain();
    // Drops what waits and takes nothing more; a post() that waits returns.
    void close();
    // The error that stopped the writing (0: none).
    int error() const { return failedWith.load(); }

private:
    void run();

    std::mutex mutex;  // held only to change the queue, never while writing
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool closed = false;
    std::atomic<int> failedWith{0};
    std::thread thread;
};

}  // namespace dravik_app
