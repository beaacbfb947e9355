#include "udp/PendingReplies.h"

#include <algorithm>

void PendingReplies::add(const char* data, std::size_t size, const Route& route) {
    held.push_back({bytes.size(), size, route});
    bytes.insert(bytes.end(), data, data + size);
}

std::size_t PendingReplies::describe(std::size_t first, Outgoing* out) const {
    const std::size_t n = std::min(kMaxBatch, held.size() - first);
    for (std::size_t i = 0; i < n; ++i) {
        const Held& reply = held[first + i];
        out[i] = {bytes.data() + reply.offset, reply.size, &reply.route};
    }
    return n;
}

void PendingReplies::clear() {
    bytes.clear();
    held.clear();
}
