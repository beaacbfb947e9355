#include "udp/Internals.h"

#include <system_error>

#include "udp/NativeSocket.h"
#include "udp/SystemErrors.h"

namespace {

// A peer's socket follows the remote address's family, so an IPv6 peer is
// reachable; its local address is the family's any-address.
asio::ip::udp::endpoint peerLocalEndpoint(const asio::ip::address& remote, int localPort) {
    const asio::ip::udp protocol = remote.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4();
    return {protocol, static_cast<unsigned short>(localPort)};
}

// The first worker's socket stays alone on its port until more workers are
// asked for; a peer's IPv4 socket may send to broadcast addresses.
SocketPlan firstPlan(const asio::ip::udp::endpoint& local, const ParsedAddress& remote,
                     bool receiveOnly) {
    SocketPlan plan;
    plan.local = local;
    plan.dualStack = needsDualStack(local.address()) || needsDualStack(remote.address);
    plan.broadcast = !receiveOnly && local.address().is_v4();
    return plan;
}

// The plan of the workers added later: the bound port, in the port group,
// opened by the server itself.
SocketPlan sharedPlan(SocketPlan plan, int boundPort) {
    plan.local.port(static_cast<unsigned short>(boundPort));
    plan.sharedPort = true;
    plan.adopted = false;
    return plan;
}

// A peer's remote address must be of the adopted socket's family; it is
// judged before anything of the socket changes.
ParsedAddress sameFamily(const SocketPlan& adopted, ParsedAddress remote) {
    if (remote.error) throw std::system_error(standardCode(remote.error));
    if (remote.address.is_v6() != adopted.local.address().is_v6()) {
        throw std::system_error(
            std::make_error_code(std::errc::address_family_not_supported),
            "adopt: the socket is " + std::string(adopted.local.address().is_v6() ? "IPv6" : "IPv4") +
                ", the remote address " + remote.address.to_string() + " is not");
    }
    return remote;
}

const asio::ip::address& addressOrThrow(const ParsedAddress& parsed) {
    if (parsed.error) {
        throw std::system_error(standardCode(parsed.error));
    }
    return parsed.address;
}

std::string receivedPrefixFor(int localPort) {
    return "[UDPServer] Received message on port " + std::to_string(localPort) + ": ";
}

}  // namespace

UDPServer::Internals::Internals(int localPort)
    : Internals(checkedPort(localPort, "local"),
                {asio::ip::address_v4::any(), static_cast<unsigned short>(localPort)}, 0,
                ParsedAddress{asio::ip::address_v4::any(), {}}, true) {}

UDPServer::Internals::Internals(int localPort, const std::string& localAddress)
    : Internals(checkedPort(localPort, "local"),
                {addressOrThrow(parseNumericAddress(localAddress)),
                 static_cast<unsigned short>(localPort)},
                0, ParsedAddress{asio::ip::address_v4::any(), {}}, true) {}

UDPServer::Internals::Internals(const std::string& remoteAddress, int remotePort, int localPort)
    : Internals(checkedPort(remotePort, "remote"), checkedPort(localPort, "local"),
                parseNumericAddress(remoteAddress)) {}

UDPServer::Internals::Internals(int remotePort, int localPort, const ParsedAddress& remote)
    : Internals(localPort, peerLocalEndpoint(remote.address, localPort), remotePort, remote,
                false) {}

UDPServer::Internals::Internals(std::uintptr_t socket)
    : Internals(adoptionPlan(socket), 0, ParsedAddress{asio::ip::address_v4::any(), {}}, true) {}

UDPServer::Internals::Internals(std::uintptr_t socket, const std::string& remoteAddress,
                                int remotePort)
    : Internals(adoptionPlan(socket), checkedPort(remotePort, "remote"),
                sameFamily(adoptionPlan(socket), parseNumericAddress(remoteAddress)), false) {}

UDPServer::Internals::Internals(const SocketPlan& adopted, int remotePort,
                                const ParsedAddress& remote, bool receiveOnly)
    : Internals(adopted.local.port(), adopted, remotePort, remote, receiveOnly) {}

UDPServer::Internals::Internals(int localPort, const asio::ip::udp::endpoint& local,
                                int remotePort, const ParsedAddress& remote, bool receiveOnly)
    : Internals(localPort, firstPlan(local, remote, receiveOnly), remotePort, remote,
                receiveOnly) {}

// Opens and binds the first socket before the remote address is judged, so a
// port in use is reported ahead of a bad address, and the socket is closed
// again if the address then throws.
UDPServer::Internals::Internals(int localPort, const SocketPlan& first, int remotePort,
                                const ParsedAddress& remote, bool receiveOnly)
    : localPort(localPort),
      receiveOnly(receiveOnly),
      receivedPrefix(receivedPrefixFor(localPort)),
      shared{running, delegate, admission, lines, recent, texts,
             unreachables, gate, raised, receivedPrefix, localPort},
      workers{{std::make_unique<Worker>(shared, first, 0)}},
      boundPort(home().socket().local_endpoint().port()),
      socketPlan(sharedPlan(first, boundPort)),
      adopted(first.adopted),
      adoptedInGroup(first.adopted && first.sharedPort),
      remoteEndpoint(addressOrThrow(remote), static_cast<unsigned short>(remotePort)),
      admission(receiveOnly, localEndpoint, remoteEndpoint, localPort, gate),
      lines(home().loop(), localPort, receiveBufferSize(home().nativeSocket())),
      gate(lines, localPort, kMaxWorkers),
      texts(remoteEndpoint, localPort),
      sender(workers, workerCount, texts),
      unreachables(lines, recent, localPort) {}

UDPServer::Internals::~Internals() = default;

// A handful of workers, each asked with one load.
Worker* UDPServer::Internals::deliveringHere() const {
    const int count = workerCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        if (workers[i]->deliversOnThisThread()) return workers[i].get();
    }
    return nullptr;
}

std::vector<ServerSocket::native_handle_type> UDPServer::Internals::nativeSockets() const {
    std::vector<ServerSocket::native_handle_type> sockets;
    const int count = workerCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) sockets.push_back(workers[i]->nativeSocket());
    return sockets;
}

void UDPServer::Internals::sendHeldRepliesFirst() {
    if (Worker* worker = deliveringHere()) worker->sending().sendReplies();
}
