#pragma once

#include <cstddef>
#include <mutex>
#include <system_error>
#include <vector>

// Outcomes of sends that the system took at once on an application thread,
// queued for the worker to log in completion order. Both sides keep their
// storage, so neither allocates once it has grown to the usual depth.
class CompletedSends {
public:
    struct Outcome {
        std::error_code error;
        std::size_t size;
    };

    // Appends an outcome; true when the queue was empty before, so the
    // worker has to be woken for it.
    bool push(const Outcome& outcome);

    // Swaps everything queued into `taken` (cleared first).
    void takeAll(std::vector<Outcome>& taken);

private:
    std::mutex mutex;  // held only to append or swap
    std::vector<Outcome> queued;
};
