#include "udp/NativeSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <asio/error.hpp>

#include "udp/posix/HeldErrorsPosix.h"
#include "udp/posix/SourceControlPosix.h"

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
                                    std::size_t size, const Route& route, std::size_t& sent) {
    ssize_t result;
    if (!route.needsControl()) {
        result = sendPastHeldError([&] {
            return ::sendto(socket, data, size, MSG_DONTWAIT, route.to.data(),
                            static_cast<socklen_t>(route.to.size()));
        });
    } else {
        iovec bytes{const_cast<char*>(data), size};
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(route.to.data());
        message.msg_namelen = static_cast<socklen_t>(route.to.size());
        message.msg_iov = &bytes;
        message.msg_iovlen = 1;
        SourceControl control;
        attachControl(message, route, control);
        result = sendPastHeldError([&] { return ::sendmsg(socket, &message, MSG_DONTWAIT); });
    }
    if (result < 0) return {errno, asio::error::get_system_category()};
    sent = static_cast<std::size_t>(result);
    return {};
}

namespace {

int bufferSize(int socket, int option) {
    int size = 0;
    socklen_t length = sizeof size;
    return ::getsockopt(socket, SOL_SOCKET, option, &size, &length) == 0 ? size : 0;
}

}  // namespace

int receiveBufferSize(int socket) { return bufferSize(socket, SO_RCVBUF); }

int sendBufferSize(int socket) { return bufferSize(socket, SO_SNDBUF); }

// IPv4 datagrams on a dual-stack socket carry IPv4's packet information, so
// an IPv6 socket asks for both; an IPv6-only one just never gets the first.
void enableArrivalInfo(ServerSocket& socket) {
    const int on = 1;
    ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (socket.local_endpoint().protocol() == asio::ip::udp::v6()) {
        ::setsockopt(socket.native_handle(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    }
}
