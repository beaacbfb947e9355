#include "OutputWriter.h"

#include <cerrno>
#include <chrono>
#include <utility>

#include "CommandLine.h"
#include "Interrupt.h"

namespace dravik_app {

OutputWriter::OutputWriter() : thread([this] { run(); }) {}

OutputWriter::~OutputWriter() {
    close();
    thread.join();
}

bool OutputWriter::post(std::string text) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return closed || queuedBytes < kCapacity; });
    if (closed) return false;
    queuedBytes += text.size();
    queue.push_back(std::move(text));
    changed.notify_all();
    return true;
}

// The writer does not watch the condition for an interrupt, so the wait
// looks at it now and then.
void OutputWriter::drain() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!closed && (writing || !queue.empty()) && !interrupted()) {
        changed.wait_for(lock, std::chrono::milliseconds(20));
    }
}

void OutputWriter::close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        queue.clear();
        queuedBytes = 0;
    }
    changed.notify_all();
}

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
        try {
            for (const std::string& text : taken) {
                writeOut(text.data(), text.size());
                if (interrupted()) break;
            }
        } catch (const StreamError&) {
            failedWith = errno ? errno : EIO;
        }
        taken.clear();
        if (interrupted() || failedWith != 0) close();
    }
}

}  // namespace dravik_app
