#pragma once

#include <cstddef>
#include <vector>

#include "udp/BatchSend.h"
#include "udp/Route.h"

// Replies made during one batch of deliveries, held as copies of their bytes
// until the batch has been delivered, then handed to the batch sender
// together, in the order they were made. Both vectors keep their capacity,
// so a server that replies at a steady rate stops allocating. Worker thread
// only (and a thread that runs while no worker does).
class PendingReplies {
public:
    void add(const char* data, std::size_t size, const Route& route);
    std::size_t count() const { return held.size(); }

    // Describes up to kMaxBatch replies from `first` on for the batch sender;
    // returns how many. Valid until the next add() or clear().
    std::size_t describe(std::size_t first, Outgoing* out) const;
    std::size_t size(std::size_t index) const { return held[index].size; }
    const char* data(std::size_t index) const { return bytes.data() + held[index].offset; }
    const Route& route(std::size_t index) const { return held[index].route; }

    void clear();

private:
    struct Held {
        std::size_t offset;
        std::size_t size;
        Route route;
    };
    std::vector<char> bytes;
    std::vector<Held> held;
};
