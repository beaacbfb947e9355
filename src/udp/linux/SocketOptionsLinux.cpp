#include "udp/SocketOptions.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include <asio/error.hpp>

#include "udp/ControlMessages.h"

namespace {

// Sets an int option unless an earlier one failed.
void set(int socket, int level, int name, int value, std::error_code& error) {
    if (error) return;
    if (::setsockopt(socket, level, name, &value, sizeof value) != 0) {
        error.assign(errno, asio::error::get_system_category());
    }
}

int discoveryOf(UDPServer::Fragmentation fragmentation, int want, int dontFragment, int probe) {
    switch (fragmentation) {
    case UDPServer::Fragmentation::DontFragment: return dontFragment;
    case UDPServer::Fragmentation::Probe: return probe;
    case UDPServer::Fragmentation::SystemDefault: break;
    }
    return want;
}

// An int the system told with the datagram, if it did.
bool readInt(const ReceiveBatch::Datagram& datagram, int level, int type, int& value) {
    const char* data = findControl(datagram.control, datagram.controlSize, level, type, sizeof value);
    if (data == nullptr) return false;
    std::memcpy(&value, data, sizeof value);
    return true;
}

}  // namespace

// "Off" puts back what the system does by default: TOS 0, TTL and hop limit
// -1 (the route's or the system's), path MTU discovery "want" (fragment
// only what is larger than the MTU known for the path).
void applyOptions(ServerSocket& socket, const SocketOptions& options, std::error_code& error) {
    const int fd = socket.native_handle();
    const bool v6 = socket.local_endpoint(error).protocol() == asio::ip::udp::v6();
    set(fd, IPPROTO_IP, IP_TOS, options.trafficClass < 0 ? 0 : options.trafficClass, error);
    set(fd, IPPROTO_IP, IP_TTL, options.hopLimit, error);
    set(fd, IPPROTO_IP, IP_MTU_DISCOVER,
        discoveryOf(options.fragmentation, IP_PMTUDISC_WANT, IP_PMTUDISC_DO, IP_PMTUDISC_PROBE),
        error);
    const int on = options.receiveInfo ? 1 : 0;
    set(fd, IPPROTO_IP, IP_RECVTOS, on, error);
    set(fd, IPPROTO_IP, IP_RECVTTL, on, error);
    set(fd, SOL_SOCKET, SO_TIMESTAMPNS, on, error);
    if (options.receiveInfo) set(fd, IPPROTO_IP, IP_PKTINFO, 1, error);
    if (!v6) return;
    set(fd, IPPROTO_IPV6, IPV6_TCLASS, options.trafficClass, error);
    set(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, options.hopLimit, error);
    set(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER,
        discoveryOf(options.fragmentation, IPV6_PMTUDISC_WANT, IPV6_PMTUDISC_DO,
                    IPV6_PMTUDISC_PROBE),
        error);
    set(fd, IPPROTO_IPV6, IPV6_DONTFRAG,
        options.fragmentation == UDPServer::Fragmentation::SystemDefault ? 0 : 1, error);
    set(fd, IPPROTO_IPV6, IPV6_RECVTCLASS, on, error);
    set(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, on, error);
    if (options.receiveInfo) set(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1, error);
}

// A dual-stack socket hears of its IPv4 destinations at IPv4's level.
void enableDestinationErrors(ServerSocket& socket) {
    const int on = 1;
    const int fd = socket.native_handle();
    ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    std::error_code error;
    if (socket.local_endpoint(error).protocol() == asio::ip::udp::v6()) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    }
}

// IP_TOS comes as one byte, IP_TTL and the IPv6 ones as ints.
void readNetworkFacts(const ReceiveBatch::Datagram& datagram, UDPServer::DatagramInfo& info) {
    if (const char* data =
            findControl(datagram.control, datagram.controlSize, IPPROTO_IP, IP_TOS, 1)) {
        info.trafficClass = static_cast<unsigned char>(*data);
    }
    int value = 0;
    if (readInt(datagram, IPPROTO_IPV6, IPV6_TCLASS, value)) info.trafficClass = value & 0xFF;
    if (readInt(datagram, IPPROTO_IP, IP_TTL, value) ||
        readInt(datagram, IPPROTO_IPV6, IPV6_HOPLIMIT, value)) {
        info.hopLimit = value & 0xFF;
    }
    if (const char* data = findControl(datagram.control, datagram.controlSize, SOL_SOCKET,
                                       SCM_TIMESTAMPNS, sizeof(timespec))) {
        timespec time;
        std::memcpy(&time, data, sizeof time);
        info.receivedAt = static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
    }
    const Arrival arrival = readArrival(datagram);
    if (arrival.known) info.interfaceIndex = arrival.interfaceIndex;
}
