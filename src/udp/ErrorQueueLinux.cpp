#include "udp/ErrorQueueLinux.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include <asio/error.hpp>

#include "udp/ControlMessages.h"
#include "udp/FirstFailure.h"

namespace {

constexpr std::uint8_t kIcmpDestinationUnreachable = 3;
constexpr std::uint8_t kIcmp6DestinationUnreachable = 1;
constexpr std::uint8_t kIcmp6PacketTooBig = 2;
constexpr std::size_t kControlRoom = 512;

// The system maps each ICMP report to an error number; the reasons follow
// it, except that time-outs in transit and bad headers, whatever number they
// carry, are other reasons.
UDPServer::UnreachableReason reasonOf(const sock_extended_err& report) {
    using Reason = UDPServer::UnreachableReason;
    const bool icmpUnreachable =
        (report.ee_origin == SO_EE_ORIGIN_ICMP && report.ee_type == kIcmpDestinationUnreachable) ||
        (report.ee_origin == SO_EE_ORIGIN_ICMP6 &&
         (report.ee_type == kIcmp6DestinationUnreachable || report.ee_type == kIcmp6PacketTooBig));
    if (report.ee_origin != SO_EE_ORIGIN_LOCAL && !icmpUnreachable) return Reason::Other;
    switch (report.ee_errno) {
    case ECONNREFUSED: return Reason::Port;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case EACCES: return Reason::Host;
    case EMSGSIZE: return Reason::TooBig;
    default: return Reason::Other;
    }
}

// The extended error and, where it carries one, who reported it, at either
// level (an IPv6 socket reports IPv4's errors at its own level).
const char* findReport(const char* control, std::size_t size, std::size_t want) {
    if (const char* data = findControl(control, size, IPPROTO_IP, IP_RECVERR, want)) return data;
    return findControl(control, size, IPPROTO_IPV6, IPV6_RECVERR, want);
}

void readReporter(const char* control, std::size_t size, DestinationError& out) {
    constexpr std::size_t kReport = sizeof(sock_extended_err);
    if (const char* data = findReport(control, size, kReport + sizeof(sockaddr_in6))) {
        sockaddr_in6 address;
        std::memcpy(&address, data + kReport, sizeof address);
        if (address.sin6_family == AF_INET6) {
            std::memcpy(out.reportedBy.data(), &address, sizeof address);
            out.reportedBy.port(0);
            out.reporterKnown = true;
            return;
        }
    }
    if (const char* data = findReport(control, size, kReport + sizeof(sockaddr_in))) {
        sockaddr_in address;
        std::memcpy(&address, data + kReport, sizeof address);
        if (address.sin_family == AF_INET) {
            std::memcpy(out.reportedBy.data(), &address, sizeof address);
            out.reportedBy.port(0);
            out.reporterKnown = true;
        }
    }
}

}  // namespace

bool readDestinationError(const char* control, std::size_t controlSize,
                          const asio::ip::udp::endpoint& destination, DestinationError& out) {
    const char* data = findReport(control, controlSize, sizeof(sock_extended_err));
    if (data == nullptr) return false;
    sock_extended_err report;
    std::memcpy(&report, data, sizeof report);
    if (report.ee_errno == 0 ||
        (report.ee_origin != SO_EE_ORIGIN_LOCAL && report.ee_origin != SO_EE_ORIGIN_ICMP &&
         report.ee_origin != SO_EE_ORIGIN_ICMP6)) {
        return false;  // time stamps and the like: not errors
    }
    out = DestinationError{};
    out.destination = destination;
    out.reason = reasonOf(report);
    out.mtu = out.reason == UDPServer::UnreachableReason::TooBig ? report.ee_info : 0;
    out.error = std::error_code(static_cast<int>(report.ee_errno), asio::error::get_system_category());
    if (report.ee_origin != SO_EE_ORIGIN_LOCAL) readReporter(control, controlSize, out);
    return true;
}

// recvmmsg takes a step's worth in one call; the payloads (the refused
// datagrams' starts) are not wanted.
bool drainErrorQueue(int socket, Unreachables& unreachables) {
    struct Entry {
        asio::ip::udp::endpoint destination;
        alignas(cmsghdr) char control[kControlRoom];
    };
    Entry entries[kMostErrorsPerStep];
    mmsghdr headers[kMostErrorsPerStep];
    for (std::size_t i = 0; i < kMostErrorsPerStep; ++i) {
        msghdr& header = headers[i].msg_hdr;
        header = msghdr{};
        header.msg_name = entries[i].destination.data();
        header.msg_namelen = static_cast<socklen_t>(entries[i].destination.capacity());
        header.msg_control = entries[i].control;
        header.msg_controllen = kControlRoom;
    }
    int taken;
    do {
        taken = ::recvmmsg(socket, headers, kMostErrorsPerStep, MSG_ERRQUEUE | MSG_DONTWAIT,
                           nullptr);
    } while (taken < 0 && errno == EINTR);
    if (taken <= 0) return false;
    // A listener or a logger that throws costs none of the other reports.
    FirstFailure failure;
    for (int i = 0; i < taken; ++i) {
        const msghdr& header = headers[i].msg_hdr;
        Entry& entry = entries[i];
        entry.destination.resize(
            std::min<std::size_t>(header.msg_namelen, entry.destination.capacity()));
        DestinationError error;
        if (readDestinationError(entry.control, std::min<std::size_t>(header.msg_controllen, kControlRoom),
                                 entry.destination, error)) {
            failure.run([&] { unreachables.report(error); });
        }
    }
    failure.rethrow();
    return static_cast<std::size_t>(taken) == kMostErrorsPerStep;
}
