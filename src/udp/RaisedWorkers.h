#pragma once

#include <array>
#include <atomic>

#include "udp/Worker.h"

// Per-sender order across a raise of the workers. Once more sockets join
// the port, the system hashes a sender's later datagrams to a socket that
// may differ from the one still holding its earlier ones; and every socket
// that joins moves some again. So each worker a raise adds is a generation
// of its own, held (taking nothing from its socket) until every older worker
// has found its own socket empty after the start, by which time it has
// delivered whatever came before that worker's socket joined. A generation released stays released. The
// generations change only while the server is stopped; workers report and
// are released from their own threads.
class RaisedWorkers {
public:
    explicit RaisedWorkers(const Workers& workers) : workers(workers) {}

    // While stopped: workers [from, to) were added, in that order.
    void added(int from, int to);
    // While stopped, as `count` workers are about to start: holds those of
    // a generation not yet released, and has those older than one report
    // when they run dry.
    void begin(int count);
    // A worker that reports found its socket empty after the start (its
    // thread): releases every generation that no longer waits for anyone.
    void drained(int worker);

private:
    const Workers& workers;
    int count = 1;
    int newest = 0;  // the generations are 0 (released) to newest
    std::array<int, kMaxWorkers> generation{};
    std::array<std::atomic<bool>, kMaxWorkers + 1> released{};
    // Per run: how many workers older than each generation have drained,
    // and how many there are.
    std::array<std::atomic<int>, kMaxWorkers + 1> drainedBelow{};
    std::array<int, kMaxWorkers + 1> olderThan{};
};
