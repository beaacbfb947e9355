#include "udp/BatchSend.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <asio/error.hpp>

#include "udp/posix/HeldErrorsPosix.h"
#include "udp/posix/SourceControlPosix.h"

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
    explicit Messages(const Outgoing* datagrams) : datagrams(datagrams) {}

    const Outgoing& operator[](std::size_t i) const { return datagrams[i]; }

    // How many datagrams from `first` on, up to `end`, form a run that one
    // segmented send can carry: equal non-zero sizes to one destination with
    // no control data of their own, that the socket may offer, within the system's limits.
    std::size_t segmentRun(std::size_t first, std::size_t end,
                           const SegmentationOffload& offload) const {
        const std::uint64_t size = datagrams[first].size;
        const Route& route = *datagrams[first].route;
        if (size == 0 || route.needsControl() || !offload.allowed(size)) return 1;
        std::size_t last = first + 1;
        while (last < end && last - first < kMaxSegments && datagrams[last].size == size &&
               size <= kMaxSegmentedBytes / (last - first + 1) &&
               sameRoute(*datagrams[last].route, route)) {
            ++last;
        }
        return last - first;
    }

    // One sendmsg() for datagrams [first, first + run), all of `size` bytes,
    // which the system cuts into datagrams again. Returns 0 or errno.
    int sendSegmented(int socket, std::size_t first, std::size_t run) {
        for (std::size_t i = 0; i < run; ++i) point(iov[i], datagrams[first + i]);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        msghdr message = header(*datagrams[first].route, iov, run);
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* segment = CMSG_FIRSTHDR(&message);
        segment->cmsg_level = SOL_UDP;
        segment->cmsg_type = UDP_SEGMENT;
        segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto size = static_cast<std::uint16_t>(datagrams[first].size);
        std::memcpy(CMSG_DATA(segment), &size, sizeof size);
        const ssize_t result =
            sendPastHeldError([&] { return ::sendmsg(socket, &message, MSG_DONTWAIT); });
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
                const Route& route = *datagrams[first + i].route;
                messages[i].msg_hdr = header(route, &iov[i], 1);
                attachControl(messages[i].msg_hdr, route, sources[i]);
            }
            // A held error cut a call short after some datagrams: the next
            // call starts with the one it refused.
            const int result = sendPastHeldError([&] {
                return ::sendmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
            });
            if (result < 0) {
                if (wouldBlock(errno)) return first;
                outcomes[first] = {lastError(), 0, datagrams[first].route->to};
                ++first;
                continue;
            }
            for (int i = 0; i < result; ++i, ++first) {
                outcomes[first] = {std::error_code(), messages[i].msg_len, datagrams[first].route->to};
            }
        }
        return end;
    }

private:
    static void point(iovec& slot, const Outgoing& datagram) {
        slot.iov_base = const_cast<char*>(datagram.data);
        slot.iov_len = static_cast<std::size_t>(datagram.size);
    }

    static bool sameRoute(const Route& a, const Route& b) {
        return &a == &b || (!a.needsControl() && !b.needsControl() && a.to == b.to);
    }

    static msghdr header(const Route& route, iovec* parts, std::size_t count) {
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(route.to.data());
        message.msg_namelen = static_cast<socklen_t>(route.to.size());
        message.msg_iov = parts;
        message.msg_iovlen = count;
        return message;
    }

    const Outgoing* const datagrams;
    iovec iov[kMaxBatch];
    mmsghdr messages[kMaxBatch];
    SourceControl sources[kMaxBatch];
};

}  // namespace

// Runs of equal sizes go as one segmented send while the system takes them;
// everything else, and a run the system refused, goes by sendmmsg().
std::size_t sendBatchWithoutBlocking(ServerSocket::native_handle_type socket,
                                     const Outgoing* datagrams, std::size_t count,
                                     SegmentationOffload& offload,
                                     CompletedSends::Outcome* outcomes) {
    Messages batch(datagrams);
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
                    outcomes[i] = {std::error_code(), static_cast<std::size_t>(batch[i].size),
                                   batch[i].route->to};
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
