#pragma once

#include <cstddef>
#include <mutex>
#include <system_error>
#include <vector>

#include <asio/ip/udp.hpp>

// Outcomes of sends that the system took at once on an application thread,
// queued for the worker to log in completion order. Both sides keep their
// storage, so neither allocates once it has grown to the usual depth.
class CompletedSends {
public:
    struct Outcome {
        std::error_code error;
        std::size_t size;
        asio::ip::udp::endpoint to;
    };

    // Appends `count` outcomes.
    void push(const Outcome* outcomes, std::size_t count);

    // Swaps everything queued into `taken` (cleared first).
    void takeAll(std::vector<Outcome>& taken);

private:
    std::mutex mutex;  // held only to append or swap
    std::vector<Outcome> queued;
};
