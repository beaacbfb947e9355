#include "OutputWriter.h"

#include <cerrno>
#include <utility>

#include "CommandLine.h"
#include "Interrupt.h"
#include "MonotonicClock.h"

namespace dravik_app {

OutputWriter::OutputWriter() : thread([this] { run(); }) {}

OutputWriter::~OutputWriter() {
    stopTaking();
    thread.join();
}

bool OutputWriter::post(std::string line) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return closed || !waitForRoom || queuedBytes < kCapacity; });
    if (closed) return false;
    queuedBytes += line.size();
    queue.push_back(std::move(line));
    changed.notify_all();
    return true;
}

void OutputWriter::stopWaitingForRoom() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        waitForRoom = false;
    }
    changed.notify_all();
}

void OutputWriter::finish() {
    giveUpAt = nowMs() + kFinishWait.count();
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return closed || (!writing && queue.empty()); });
    }
    stopTaking();
}

void OutputWriter::stopTaking() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        queue.clear();
        queuedBytes = 0;
    }
    changed.notify_all();
}

// A line cut short by giving up, and the lines after it, stay unwritten.
void OutputWriter::run() {
    std::deque<std::string> taken;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            writing = false;
            changed.notify_all();
            changed.wait(lock, [&] { return closed || !queue.empty(); });
            if (closed) return;
            taken.swap(queue);
            queuedBytes = 0;
            writing = true;
            changed.notify_all();
        }
        bool gaveUp = false;
        try {
            for (const std::string& line : taken) {
                gaveUp = !writeOutBefore(line.data(), line.size(), giveUpAt);
                if (gaveUp) break;
                ++writtenLines;
            }
        } catch (const StreamError&) {
            failedWith = errno ? errno : EIO;
        }
        taken.clear();
        if (gaveUp || failedWith != 0) stopTaking();
    }
}

}  // namespace dravik_app
