#include "udp/ForeignSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <asio/error.hpp>

namespace {

[[noreturn]] void refuse(std::errc code, const std::string& why) {
    throw std::system_error(std::make_error_code(code), "adopt: " + why);
}

std::string named(std::uintptr_t handle) {
    return "socket " + std::to_string(static_cast<unsigned long long>(handle));
}

}  // namespace

ForeignSocket inspectForeignSocket(std::uintptr_t handle) {
    const SOCKET socket = static_cast<SOCKET>(handle);
    WSAPROTOCOL_INFOW info{};
    int size = sizeof info;
    if (::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info),
                     &size) != 0) {
        refuse(::WSAGetLastError() == WSAENOTSOCK ? std::errc::not_a_socket
                                                  : std::errc::bad_file_descriptor,
               named(handle) + " is not an open socket");
    }
    if (info.iSocketType != SOCK_DGRAM || info.iProtocol != IPPROTO_UDP) {
        refuse(std::errc::wrong_protocol_type, named(handle) + " is not a UDP socket");
    }
    ForeignSocket out;
    int length = static_cast<int>(out.local.capacity());
    if (::getsockname(socket, out.local.data(), &length) != 0) {
        refuse(std::errc::invalid_argument, named(handle) + " is not bound to a port");
    }
    if (out.local.data()->sa_family != AF_INET && out.local.data()->sa_family != AF_INET6) {
        refuse(std::errc::wrong_protocol_type, named(handle) + " is not an IPv4 or IPv6 socket");
    }
    out.local.resize(static_cast<std::size_t>(length));
    if (out.local.port() == 0) refuse(std::errc::invalid_argument, named(handle) + " is not bound to a port");
    DWORD v6Only = 1;
    int optionSize = sizeof v6Only;
    if (out.local.address().is_v6() &&
        ::getsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6Only),
                     &optionSize) == 0) {
        out.dualStack = v6Only == 0;
    }
    return out;
}

void prepareForeignSocket(std::uintptr_t handle, std::error_code& error) {
    const SOCKET socket = static_cast<SOCKET>(handle);
    u_long on = 1;
    if (::ioctlsocket(socket, FIONBIO, &on) != 0) {
        error = std::error_code(::WSAGetLastError(), asio::error::get_system_category());
        return;
    }
    if (!::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0)) {
        error = std::error_code(static_cast<int>(::GetLastError()), asio::error::get_system_category());
    }
}
