#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace dravik_app {

// Lines for standard output, handed over by the server's worker and written
// by a thread of its own: a reader that stops reading stalls the writing
// thread alone, never the worker or a stop(). The queue holds kCapacity bytes
// at most; a post() beyond that waits for room, so a slow reader slows
// reception down (the system then drops and counts what its buffer cannot
// hold) instead of growing memory. Interrupts do not stop the writing:
// finish() ends it, once what was posted has been written or a reader that
// stopped reading has been waited for long enough.
class OutputWriter {
public:
    static constexpr std::size_t kCapacity = 1 << 20;
    // How long finish() waits for a reader that has stopped reading.
    static constexpr std::chrono::milliseconds kFinishWait{1000};

    OutputWriter();
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Queues a line; false, dropping it, once the writer has finished or
    // failed.
    bool post(std::string line);
    // From now on post() takes lines without waiting for room, so that a
    // worker waiting in it can be stopped; only the last lines of a stopping
    // server come after this.
    void stopWaitingForRoom();
    // Writes out what was posted, giving up on a reader that takes nothing
    // for kFinishWait, then takes nothing more.
    void finish();
    // The error that stopped the writing (0: none).
    int error() const { return failedWith.load(); }
    // Lines written whole; final once finish() has returned.
    std::uint64_t written() const { return writtenLines.load(); }

private:
    void run();
    void stopTaking();

    std::mutex mutex;  // held only to change the queue, never while writing
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool closed = false;
    bool waitForRoom = true;
    std::atomic<std::int64_t> giveUpAt{0};  // monotonic ms; 0 while not finishing
    std::atomic<int> failedWith{0};
    std::atomic<std::uint64_t> writtenLines{0};
    std::thread thread;
};

}  // namespace dravik_app
