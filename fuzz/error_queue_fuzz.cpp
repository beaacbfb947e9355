// libFuzzer target for reading the socket's error queue: arbitrary control
// data as one message of it may carry (extended errors at either level, well
// formed or not, with or without who reported them, lengths that claim more
// than the room) and the address it names. What is read must lie within the
// control data given, and what is reported must agree with itself.
#include <time.h>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "udp/linux/DestinationErrorLinux.h"

namespace {

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "error_queue_fuzz:%d: %s\n", __LINE__, #condition); \
            std::abort();                                                           \
        }                                                                           \
    } while (false)

// The room the worker gives each message's control data.
constexpr std::size_t kRoom = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t shape = data[0];
    const std::size_t controlSize = std::min<std::size_t>(data[1] * 2 + (shape & 1), kRoom);
    data += 2;
    size -= 2;
    // Exactly the bytes given, on the heap, so that any read past them is seen.
    auto control = std::make_unique<char[]>(std::max<std::size_t>(controlSize, 1));
    std::memset(control.get(), 0, controlSize);
    if ((shape & 2) != 0 && controlSize >= CMSG_LEN(sizeof(sock_extended_err))) {
        // A well-formed header with fuzzed contents, perhaps claiming more.
        cmsghdr header{};
        header.cmsg_level = (shape & 4) != 0 ? IPPROTO_IPV6 : IPPROTO_IP;
        header.cmsg_type = (shape & 4) != 0 ? IPV6_RECVERR : IP_RECVERR;
        const std::size_t more = size > 0 ? data[0] : 1;
        header.cmsg_len = (shape & 8) != 0 ? controlSize + more
                                           : std::min<std::size_t>(controlSize, CMSG_LEN(size));
        std::memcpy(control.get(), &header, sizeof header);
        std::memcpy(control.get() + CMSG_LEN(0), data,
                    std::min(size, controlSize - CMSG_LEN(0)));
    } else {
        std::memcpy(control.get(), data, std::min(size, controlSize));
    }
    const asio::ip::udp family = (shape & 16) != 0 ? asio::ip::udp::v6() : asio::ip::udp::v4();
    const asio::ip::udp::endpoint destination(family, 9);
    DestinationError out;
    if (readDestinationError(control.get(), controlSize, destination, out)) {
        CHECK(out.destination == destination);
        CHECK(out.error.value() != 0);
        CHECK(out.reason == UDPServer::UnreachableReason::TooBig || out.mtu == 0);
        const int reason = static_cast<int>(out.reason);
        CHECK(reason >= 1 && reason <= 4);
        if (out.reporterKnown) CHECK(out.reportedBy.port() == 0);
    }
    return 0;
}
