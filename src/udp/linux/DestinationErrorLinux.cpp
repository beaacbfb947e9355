#include "udp/linux/DestinationErrorLinux.h"

#include <time.h>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <asio/error.hpp>

#include "udp/ControlMessages.h"

namespace {

constexpr std::uint8_t kIcmpDestinationUnreachable = 3;
constexpr std::uint8_t kIcmp6DestinationUnreachable = 1;
constexpr std::uint8_t kIcmp6PacketTooBig = 2;

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

// Who reported it, where the report carries an address of `family` after it.
template <typename Address>
bool readReporter(const char* control, std::size_t size, sa_family_t family,
                  DestinationError& out) {
    constexpr std::size_t kReport = sizeof(sock_extended_err);
    const char* data = findReport(control, size, kReport + sizeof(Address));
    if (data == nullptr) return false;
    sa_family_t seen;  // every address begins with its family
    std::memcpy(&seen, data + kReport, sizeof seen);
    if (seen != family) return false;
    std::memcpy(out.reportedBy.data(), data + kReport, sizeof(Address));
    out.reportedBy.port(0);
    out.reporterKnown = true;
    return true;
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
    out.fromNetwork = report.ee_origin != SO_EE_ORIGIN_LOCAL;
    // An MTU no path of the family can have is not passed on as the path's.
    const bool v6 = report.ee_origin == SO_EE_ORIGIN_ICMP6 ||
                    (report.ee_origin == SO_EE_ORIGIN_LOCAL && destination.address().is_v6() &&
                     !destination.address().to_v6().is_v4_mapped());
    if (out.reason == UDPServer::UnreachableReason::TooBig && report.ee_info >= smallestMtu(v6)) {
        out.mtu = report.ee_info;
    }
    out.error = std::error_code(static_cast<int>(report.ee_errno), asio::error::get_system_category());
    if (report.ee_origin != SO_EE_ORIGIN_LOCAL &&
        !readReporter<sockaddr_in6>(control, controlSize, AF_INET6, out)) {
        readReporter<sockaddr_in>(control, controlSize, AF_INET, out);
    }
    return true;
}

