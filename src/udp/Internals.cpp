#include "udp/Internals.h"

#include <algorithm>
#include <utility>

#include <asio/ip/multicast.hpp>
#include <asio/ip/v6_only.hpp>

#include "host/Logger.h"
#include "udp/Multicast.h"
#include "udp/SystemErrors.h"

namespace {

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// A peer's socket follows the remote address's family, so an IPv6 peer is
// reachable; its local address is the family's any-address.
asio::ip::udp::endpoint peerLocalEndpoint(const asio::ip::address& remote, int localPort) {
    const asio::ip::udp protocol = remote.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4();
    return {protocol, static_cast<unsigned short>(localPort)};
}

// Opens and binds a socket; failures throw std::system_error with the context
// word "open", "bind" or "join" and the platform's code. A dual-stack IPv6
// socket is told so explicitly, since the systems' defaults differ. A socket
// for a multicast group binds where the platform wants it and joins the group
// (IPv4 on the interface the routing picks, IPv6 on the scope's); a peer's
// IPv4 socket may send to broadcast addresses.
ServerSocket openBound(asio::io_context& context, const asio::ip::udp::endpoint& local,
                       bool dualStack, bool broadcast) {
    ServerSocket socket(context.get_executor());
    std::error_code error;
    openNotInherited(socket, local.protocol(), error);
    if (!error && dualStack) {
        socket.set_option(asio::ip::v6_only(false), error);
    }
    const asio::ip::address& group = local.address();
    const bool joins = group.is_multicast();
    if (!error && joins) {
        prepareForGroup(socket, group, error);
    }
    if (!error && broadcast) {
        socket.set_option(asio::socket_base::broadcast(true), error);
    }
    if (error) {
        throw std::system_error(standardCode(error), "open");
    }
    socket.bind(joins ? asio::ip::udp::endpoint(groupBindAddress(group), local.port()) : local,
                error);
    if (error) {
        throw std::system_error(standardCode(error), "bind");
    }
    if (joins) {
        socket.set_option(asio::ip::multicast::join_group(group), error);
        if (error) {
            throw std::system_error(standardCode(error), "join");
        }
    }
    // Non-blocking, so sends and the extra receives of a batch never block:
    // the worker waits only in its event loop.
    socket.non_blocking(true, error);
    if (error) {
        throw std::system_error(standardCode(error), "open");
    }
    // Room for bursts; the system may grant less, which is no error.
    socket.set_option(asio::socket_base::receive_buffer_size(kReceiveBufferBytes), error);
    // For destination() and replies that leave from where requests came; a
    // socket bound to one unicast address knows where datagrams arrive. It
    // costs the system about a tenth of a receive.
    if (local.address().is_unspecified() || joins) enableArrivalInfo(socket);
    return socket;
}

// The copies of sends that wait for room may take as much memory as the
// socket's own send buffer, and at least this.
constexpr std::size_t kMinimumSendQueueBytes = 256 * 1024;

std::size_t sendQueueLimit(ServerSocket& socket) {
    const int sendBuffer = sendBufferSize(socket.native_handle());
    return std::max(kMinimumSendQueueBytes, static_cast<std::size_t>(std::max(sendBuffer, 0)));
}

const asio::ip::address& addressOrThrow(const ParsedAddress& parsed) {
    if (parsed.error) {
        throw std::system_error(standardCode(parsed.error));
    }
    return parsed.address;
}

}  // namespace

UDPServer::Internals::Internals(int localPort)
    : Internals(std::string(), 0, checkedPort(localPort, "local"),
                {asio::ip::address_v4::any(), static_cast<unsigned short>(localPort)},
                ParsedAddress{asio::ip::address_v4::any(), {}}, true) {}

UDPServer::Internals::Internals(int localPort, const std::string& localAddress)
    : Internals(std::string(), 0, checkedPort(localPort, "local"),
                {addressOrThrow(parseNumericAddress(localAddress)),
                 static_cast<unsigned short>(localPort)},
                ParsedAddress{asio::ip::address_v4::any(), {}}, true) {}

UDPServer::Internals::Internals(const std::string& remoteAddress, int remotePort, int localPort)
    : Internals(remoteAddress, checkedPort(remotePort, "remote"), checkedPort(localPort, "local"),
                parseNumericAddress(remoteAddress), false) {}

UDPServer::Internals::Internals(std::string remoteHost, int remotePort, int localPort,
                                const ParsedAddress& remote, bool receiveOnly)
    : Internals(std::move(remoteHost), remotePort, localPort,
                peerLocalEndpoint(remote.address, localPort), remote, receiveOnly) {}

// Opens and binds the socket before the remote address is judged, so a port in
// use is reported ahead of a bad address, and the socket is closed again if
// the address then throws.
UDPServer::Internals::Internals(std::string remoteHost, int remotePort, int localPort,
                                const asio::ip::udp::endpoint& local,
                                const ParsedAddress& remote, bool receiveOnly)
    : remoteHost(std::move(remoteHost)),
      remotePort(remotePort),
      localPort(localPort),
      socket(openBound(ioContext, local,
                       needsDualStack(local.address()) || needsDualStack(remote.address),
                       !receiveOnly && local.address().is_v4())),
      boundPort(socket.local_endpoint().port()),
      nativeSocket(socket.native_handle()),
      localEndpoint(local.address(), static_cast<unsigned short>(boundPort)),
      remoteEndpoint(addressOrThrow(remote), static_cast<unsigned short>(remotePort)),
      remoteRoute(Route::toward(remoteEndpoint)),
      receiveBufferBytes(receiveBufferSize(nativeSocket)),
      receiveOnly(receiveOnly),
      groupMember(local.address().is_multicast()),
      sending(sendQueueLimit(socket)),
      heldLinesTimer(ioContext.get_executor()),
      remoteText(endpointText(remoteEndpoint)),
      receivedPrefix("[UDPServer] Received message on port " + std::to_string(localPort) + ": "),
      sendingPrefix("[UDPServer] Sending message on port " + std::to_string(localPort) + " to "),
      sendingLine(sendingPrefix + remoteText) {
    receiving.receivedLine.reserve(receivedPrefix.size() + ReceiveBatch::kDefaultDatagram);
    receiving.receivedLine = receivedPrefix;
    sending.sentLine.reserve(64 + remoteText.size());
}

void UDPServer::Internals::reportWorkerError(const char* what) noexcept {
    try {
        velmora::Logger::error("[UDPServer] Error on worker thread on port " +
                               std::to_string(localPort) + ": " + what);
    } catch (...) {
        // The logger itself failed; there is nowhere left to report it.
    }
}
