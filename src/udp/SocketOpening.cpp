#include "udp/SocketOpening.h"

#include <system_error>

#include <asio/ip/multicast.hpp>
#include <asio/ip/v6_only.hpp>

#include "udp/ForeignSocket.h"
#include "udp/Multicast.h"
#include "udp/SocketOptions.h"
#include "udp/SystemErrors.h"

namespace {

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// For destination() and replies that leave from where requests came; a
// socket bound to one unicast address knows where datagrams arrive. It costs
// the system about a tenth of a receive. And unreachable destinations are
// reported, not lost.
void askWhatTheServerNeeds(ServerSocket& socket, const asio::ip::address& local) {
    if (local.is_unspecified() || local.is_multicast()) enableArrivalInfo(socket);
    enableDestinationErrors(socket);
}

// A socket opened elsewhere: nothing but what the server needs is changed,
// and it is not bound again.
ServerSocket adoptBound(asio::io_context& context, const SocketPlan& plan) {
    std::error_code error;
    prepareForeignSocket(plan.handle, error);
    ServerSocket socket(context.get_executor());
    if (!error) {
        socket.assign(plan.local.protocol(),
                      static_cast<ServerSocket::native_handle_type>(plan.handle), error);
    }
    if (error) throw std::system_error(standardCode(error), "adopt");
    askWhatTheServerNeeds(socket, plan.local.address());
    return socket;
}

}  // namespace

SocketPlan adoptionPlan(std::uintptr_t handle) {
    const ForeignSocket foreign = inspectForeignSocket(handle);
    SocketPlan plan;
    plan.local = foreign.local;
    plan.dualStack = foreign.dualStack;
    plan.sharedPort = foreign.sharedPort;
    plan.adopted = true;
    plan.handle = handle;
    return plan;
}

// A dual-stack IPv6 socket is told so explicitly, since the systems' defaults
// differ. A socket for a multicast group binds where the platform wants it and
// joins the group (IPv4 on the interface the routing picks, IPv6 on the
// scope's). A socket of a port group says so before it binds.
ServerSocket openBound(asio::io_context& context, const SocketPlan& plan) {
    if (plan.adopted) return adoptBound(context, plan);
    const asio::ip::udp::endpoint& local = plan.local;
    ServerSocket socket(context.get_executor());
    std::error_code error;
    openNotInherited(socket, local.protocol(), error);
    if (!error && plan.dualStack) {
        socket.set_option(asio::ip::v6_only(false), error);
    }
    const asio::ip::address& group = local.address();
    const bool joins = group.is_multicast();
    if (!error && joins) {
        prepareForGroup(socket, group, error);
    }
    if (!error && plan.broadcast) {
        socket.set_option(asio::socket_base::broadcast(true), error);
    }
    if (!error && plan.sharedPort) {
        sharePort(socket, true, error);
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
    askWhatTheServerNeeds(socket, local.address());
    return socket;
}

