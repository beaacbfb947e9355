#include "udp/NativeSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <asio/error.hpp>

void openNotInherited(ServerSocket& socket, const asio::ip::udp& protocol, std::error_code& error) {
    const int handle = ::socket(protocol.family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle < 0) {
        error.assign(errno, asio::error::get_system_category());
        return;
    }
    socket.assign(protocol, handle, error);
    if (error) ::close(handle);
}

std::error_code sendWithoutBlocking(ServerSocket::native_handle_type socket, const char* data,
                                    std::size_t size, const asio::ip::udp::endpoint& to,
                                    std::size_t& sent) {
    ssize_t result;
    do {
        result = ::sendto(socket, data, size, MSG_DONTWAIT, to.data(),
                          static_cast<socklen_t>(to.size()));
    } while (result < 0 && errno == EINTR);
    if (result < 0) return {errno, asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}
