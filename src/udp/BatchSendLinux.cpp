#include "udp/BatchSend.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <asio/error.hpp>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103  // linux/udp.h; older C library headers lack it
#endif

namespace {

// What the system takes in one segmented send: at most 64 segments, and no
// more bytes than one datagram may carry.
constexpr std::size_t kMaxSegments = 64;
constexpr std::uint64_t kMaxSegmentedBytes = 65507;

std::error_code lastError() { return {errno, asio::error::get_system_category()}; }

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The datagrams as the system's send calls describe them.
class Messages {
public:
    Messages(const UDPServer::Datagram* datagrams, const asio::ip::udp::endpoint& to)
        : datagrams(datagrams), to(to) {}

    const UDPServer::Datagram& operator[](std::size_t i) const { return datagrams[i]; }

    // How many datagrams from `first` on, up to `end`, form a run that one
    // segmented send can carry: equal non-zero sizes that the socket may
    // offer, within the system's limits.
    std::size_t segmentRun(std::size_t first, std::size_t end,
                           const SegmentationOffload& offload) const {
        const std::uint64_t size = datagrams[first].size;
        if (size == 0 || !offload.allowed(size)) return 1;
        std::size_t last = first + 1;
        while (last < end && last - first < kMaxSegments && datagrams[last].size == size &&
               size <= kMaxSegmentedBytes / (last - first + 1)) {
            ++last;
        }
        return last - first;
    }

    // One sendmsg() for datagrams [first, first + run), all of `size` bytes,
    // which the system cuts into datagrams again. Returns 0 or errno.
    int sendSegmented(int socket, std::size_t first, std::size_t run) {
        for (std::size_t i = 0; i < run; ++i) point(iov[i], datagrams[first + i]);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        msghdr message = header(iov, run);
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* segment = CMSG_FIRSTHDR(&message);
        segment->cmsg_level = SOL_UDP;
        segment->cmsg_type = UDP_SEGMENT;
        segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto size = static_cast<std::uint16_t>(datagrams[first].size);
        std::memcpy(CMSG_DATA(segment), &size, sizeof size);
        ssize_t result;
        do {
            result = ::sendmsg(socket, &message, MSG_DONTWAIT);
        } while (result < 0 && errno == EINTR);
        return result < 0 ? errno : 0;
    }

    // sendmmsg() for datagrams [first, end) until all are handled or the
    // buffer is full; returns the index of the first not handled. A datagram
    // the system refuses gets its error, and the rest go on.
    std::size_t sendEach(int socket, std::size_t first, std::size_t end,
                         CompletedSends::Outcome* outcomes) {
        while (first < end) {
            const std::size_t count = end - first;
            for (std::size_t i = 0; i < count; ++i) {
                point(iov[i], datagrams[first + i]);
                messages[i].msg_hdr = header(&iov[i], 1);
            }
            int result;
            do {
                result = ::sendmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
            } while (result < 0 && errno == EINTR);
            if (result < 0) {
                if (wouldBlock(errno)) return first;
                outcomes[first++] = {lastError(), 0};
                continue;
            }
            for (int i = 0; i < result; ++i, ++first) {
                outcomes[first] = {std::error_code(), messages[i].msg_len};
            }
        }
        return end;
    }

private:
    static void point(iovec& slot, const UDPServer::Datagram& datagram) {
        slot.iov_base = const_cast<char*>(datagram.data);
        slot.iov_len = static_cast<std::size_t>(datagram.size);
    }

    msghdr header(iovec* parts, std::size_t count) const {
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(to.data());
        message.msg_namelen = static_cast<socklen_t>(to.size());
        message.msg_iov = parts;
        message.msg_iovlen = count;
        return message;
    }

    const UDPServer::Datagram* const datagrams;
    const asio::ip::udp::endpoint& to;
    iovec iov[kMaxBatch];
    mmsghdr messages[kMaxBatch];
};

}  // namespace

// Runs of equal sizes go as one segmented send while the system takes them;
// everything else, and a run the system refused, goes by sendmmsg().
std::size_t sendBatchWithoutBlocking(ServerSocket::native_handle_type socket,
                                     const UDPServer::Datagram* datagrams, std::size_t count,
                                     const asio::ip::udp::endpoint& to,
                                     SegmentationOffload& offload,
                                     CompletedSends::Outcome* outcomes) {
    Messages batch(datagrams, to);
    std::size_t next = 0;
    while (next < count) {
        std::size_t end = next;
        const std::size_t run = batch.segmentRun(next, count, offload);
        if (run > 1) {
            const int error = batch.sendSegmented(socket, next, run);
            if (wouldBlock(error)) return next;
            if (error == EINVAL || error == EIO) offload.noteRefused(batch[next].size);
            if (error == EMSGSIZE) offload.noteTooLarge(batch[next].size);
            if (error == 0) {
                offload.noteWorked();
                for (std::size_t i = next; i < next + run; ++i) {
                    outcomes[i] = {std::error_code(), static_cast<std::size_t>(batch[i].size)};
                }
                next += run;
                continue;
            }
            end = next + run;  // sent one by one, so each gets its own outcome
        } else {
            // Up to where the next run starts.
            end = next + 1;
            while (end < count && batch.segmentRun(end, count, offload) == 1) ++end;
        }
        next = batch.sendEach(socket, next, end, outcomes);
        if (next < end) return next;
    }
    return count;
}
