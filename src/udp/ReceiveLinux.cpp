// Linux: wait for the socket to become readable, then take up to a batch of
// datagrams with one recvmmsg call; where the system coalesces, a train of
// datagrams arrives in one area, and is split into its datagrams here.
//
// The system's count of the datagrams it dropped for want of room is asked
// for (SO_MEMINFO) whenever what was taken since the last ask may have filled
// the receive buffer: once the socket runs dry after such a backlog (drops at
// the end of a burst ride on no later datagram), and every buffer's worth
// while it never runs dry. Once the system has dropped any, the count also
// rides on every datagram (SO_RXQ_OVFL); not before, since that costs the
// system a tenth of a receive even while nothing is dropped.
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <asio/error.hpp>

#include "udp/Internals.h"

namespace {

// What a datagram takes of the receive buffer besides its bytes, at least:
// the system charges its whole allocation, more than this. Its bytes are its
// whole length, not what its slot kept: a large datagram fills the buffer
// with what a slot never sees.
constexpr std::size_t kChargeFloor = 256;

// The drop count that rode on a datagram, if any did: the system adds it
// once it is not 0.
bool dropCountOf(msghdr& header, std::uint32_t& count) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&count, CMSG_DATA(c), sizeof count);
            return true;
        }
    }
    return false;
}

// The size of a train's datagrams, if the system coalesced any: it says so
// with the train; 0 for a datagram of its own.
std::size_t segmentSizeOf(msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            return size > 0 ? static_cast<std::size_t>(size) : 0;
        }
    }
    return 0;
}

}  // namespace

void UDPServer::Internals::askSystemDrops() {
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
        size <= SK_MEMINFO_DROPS * sizeof memory[0]) {
        return;
    }
    countSystemDrops(memory[SK_MEMINFO_DROPS]);
    if (memory[SK_MEMINFO_DROPS] != 0 && !receiving.dropsRideOnDatagrams) {
        const int on = 1;
        receiving.dropsRideOnDatagrams =
            ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    }
}

void UDPServer::Internals::takeBatch() {
    ReceiveBatch& batch = receiving.batch;
    const std::size_t wanted = batch.areaCount();  // into a cleared batch
    // Only the headers asked for are set; the system writes the rest.
    mmsghdr headers[ReceiveBatch::kMaxAreas];
    iovec vectors[ReceiveBatch::kMaxAreas];
    sockaddr_in6 senders[ReceiveBatch::kMaxAreas];
    for (std::size_t i = 0; i < wanted; ++i) {
        vectors[i] = {batch.area(i), batch.areaSize()};
        msghdr& header = headers[i].msg_hdr;
        header = msghdr{};
        header.msg_name = &senders[i];
        header.msg_namelen = sizeof senders[i];
        header.msg_iov = &vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = batch.control(i);
        header.msg_controllen = ReceiveBatch::kControlSize;
    }
    int taken;
    do {
        // A datagram longer than its area is cut to the area's size; with
        // MSG_TRUNC its length is still its whole length. A train always
        // fits its area.
        taken = ::recvmmsg(socket.native_handle(), headers, static_cast<unsigned>(wanted),
                           MSG_DONTWAIT | MSG_TRUNC, nullptr);
    } while (taken < 0 && errno == EINTR);
    if (taken < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            noteBacklog(true);
            return;
        }
        ReceiveBatch::Slot& failed = batch.slot(batch.filled());
        failed.error = std::error_code(errno, asio::error::get_system_category());
        failed.size = 0;
        batch.commit();
        return;
    }
    const std::size_t most = batch.maxDatagram();
    for (std::size_t i = 0; i < static_cast<std::size_t>(taken); ++i) {
        msghdr& header = headers[i].msg_hdr;
        const std::size_t length = headers[i].msg_len;
        std::size_t segment = batch.takesTrains() ? segmentSizeOf(header) : 0;
        if (segment == 0 || segment > length) segment = length;
        const std::size_t segments = segment == 0 ? 1 : (length + segment - 1) / segment;
        for (std::size_t k = 0; k < segments; ++k) {
            ReceiveBatch::Slot& slot = batch.slot(batch.filled() + k);
            const std::size_t size = std::min(segment, length - k * segment);
            slot.bytes = batch.area(i) + k * segment;
            slot.size = std::min(size, most);
            slot.truncated = size > most;
            if (slot.error) slot.error.clear();
            std::memcpy(slot.sender.data(), &senders[i], header.msg_namelen);
            slot.sender.resize(header.msg_namelen);
            slot.control = batch.control(i);
            slot.controlSize = header.msg_controllen;
        }
        batch.commitSegments(segments);
        receiving.backlogBytes += length + kChargeFloor;
    }
    // The newest datagram carries the newest count.
    std::uint32_t dropCount = 0;
    if (receiving.dropsRideOnDatagrams && taken > 0 &&
        dropCountOf(headers[static_cast<std::size_t>(taken) - 1].msg_hdr, dropCount)) {
        countSystemDrops(dropCount);
    }
    noteBacklog(static_cast<std::size_t>(taken) < wanted);
}

// The system charges a datagram up to a few times what is counted here, so a
// quarter of the buffer's size counted may have filled it.
void UDPServer::Internals::noteBacklog(bool ranDry) {
    const std::size_t buffer = static_cast<std::size_t>(receiveBufferBytes);
    const bool mayHaveFilled = receiving.backlogBytes >= (ranDry ? buffer / 4 : buffer);
    if (mayHaveFilled) askSystemDrops();
    if (mayHaveFilled || ranDry) receiving.backlogBytes = 0;
}

// IP_PKTINFO tells the header's destination and, in ipi_spec_dst, the local
// address a reply leaves from (for a broadcast or a group, the interface's
// own); IPV6_PKTINFO tells only the destination, so a reply to a group
// leaves from the interface's address that the system picks.
Arrival readArrival(const ReceiveBatch::Slot& slot) {
    msghdr header{};
    header.msg_control = const_cast<char*>(slot.control);
    header.msg_controllen = slot.controlSize;
    Arrival arrival;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival = ipv4Arrival(&info.ipi_addr, &info.ipi_spec_dst,
                                  static_cast<unsigned>(info.ipi_ifindex));
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrival = ipv6Arrival(&info.ipi6_addr, info.ipi6_ifindex);
        }
    }
    return arrival;
}

// The system hands such a socket trains of equal datagrams as one (UDP_GRO,
// since Linux 5.0); a kernel without it refuses the option.
bool enableTrains(ServerSocket& socket) {
    const int on = 1;
    return ::setsockopt(socket.native_handle(), SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}
