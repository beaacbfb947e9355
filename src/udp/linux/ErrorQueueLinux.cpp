#include "udp/linux/ErrorQueueLinux.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "udp/linux/DestinationErrorLinux.h"
#include "udp/FirstFailure.h"

namespace {

// Room for one message's control data: the extended error, who reported it,
// and whatever else the socket asks to be told with datagrams.
constexpr std::size_t kControlRoom = 512;

}  // namespace

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
