#include "udp/BatchSend.h"

#include <asio/error.hpp>

// One non-blocking send after another.
std::size_t sendBatchWithoutBlocking(ServerSocket::native_handle_type socket,
                                     const Outgoing* datagrams, std::size_t count,
                                     SegmentationOffload&, CompletedSends::Outcome* outcomes) {
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t sent = 0;
        const std::error_code error = sendWithoutBlocking(
            socket, datagrams[i].data, static_cast<std::size_t>(datagrams[i].size),
            *datagrams[i].route, sent);
        if (error == asio::error::would_block) return i;
        outcomes[i] = {error, sent, datagrams[i].route->to};
    }
    return count;
}
