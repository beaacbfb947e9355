#include "udp/NativeSend.h"

#include <sys/socket.h>

#include <cerrno>

#include <asio/error.hpp>

std::error_code sendWithoutBlocking(asio::ip::udp::socket::native_handle_type socket,
                                    const char* data, std::size_t size,
                                    const asio::ip::udp::endpoint& to, std::size_t& sent) {
    ssize_t result;
    do {
        result = ::sendto(socket, data, size, MSG_DONTWAIT, to.data(),
                          static_cast<socklen_t>(to.size()));
    } while (result < 0 && errno == EINTR);
    if (result < 0) return {errno, asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}
