#include "udp/ForeignSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <asio/error.hpp>

namespace {

[[noreturn]] void refuse(std::errc code, const std::string& why) {
    throw std::system_error(std::make_error_code(code), "adopt: " + why);
}

int descriptorOf(std::uintptr_t handle) {
    if (handle > static_cast<std::uintptr_t>(INT32_MAX)) {
        refuse(std::errc::bad_file_descriptor, "the handle is not an open descriptor");
    }
    return static_cast<int>(handle);
}

int intOption(int fd, int level, int name, int& value) {
    socklen_t size = sizeof value;
    return ::getsockopt(fd, level, name, &value, &size);
}

}  // namespace

ForeignSocket inspectForeignSocket(std::uintptr_t handle) {
    const int fd = descriptorOf(handle);
    if (::fcntl(fd, F_GETFD) < 0) {
        refuse(std::errc::bad_file_descriptor,
               "descriptor " + std::to_string(fd) + " is not open");
    }
    int type = 0;
    if (intOption(fd, SOL_SOCKET, SO_TYPE, type) != 0) {
        refuse(std::errc::not_a_socket, "descriptor " + std::to_string(fd) + " is not a socket");
    }
    int protocol = IPPROTO_UDP;
#ifdef SO_PROTOCOL
    intOption(fd, SOL_SOCKET, SO_PROTOCOL, protocol);
#endif
    if (type != SOCK_DGRAM || protocol != IPPROTO_UDP) {
        refuse(std::errc::wrong_protocol_type,
               "descriptor " + std::to_string(fd) + " is not a UDP socket");
    }
    ForeignSocket out;
    socklen_t size = static_cast<socklen_t>(out.local.capacity());
    if (::getsockname(fd, out.local.data(), &size) != 0 ||
        (out.local.data()->sa_family != AF_INET && out.local.data()->sa_family != AF_INET6)) {
        refuse(std::errc::wrong_protocol_type,
               "descriptor " + std::to_string(fd) + " is not an IPv4 or IPv6 socket");
    }
    out.local.resize(size);
    if (out.local.port() == 0) {
        refuse(std::errc::invalid_argument,
               "descriptor " + std::to_string(fd) + " is not bound to a port");
    }
    int v6Only = 1;
    if (out.local.address().is_v6() && intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, v6Only) == 0) {
        out.dualStack = v6Only == 0;
    }
    int shared = 0;
#ifdef SO_REUSEPORT
    out.sharedPort = intOption(fd, SOL_SOCKET, SO_REUSEPORT, shared) == 0 && shared != 0;
#endif
    return out;
}

void prepareForeignSocket(std::uintptr_t handle, std::error_code& error) {
    const int fd = static_cast<int>(handle);
    const int flags = ::fcntl(fd, F_GETFL);
    const int descriptorFlags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || descriptorFlags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, descriptorFlags | FD_CLOEXEC) != 0) {
        error = std::error_code(errno, asio::error::get_system_category());
    }
}
