// Reading one message of the error queue: which reports are destinations'
// errors, their reasons and MTUs, who reported them, at the end of a room as
// large as the worker gives. (fuzz/error_queue_fuzz.cpp drives lengths that
// lie and data cut short.)
#include <time.h>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "udp/linux/DestinationErrorLinux.h"

namespace {

using Reason = UDPServer::UnreachableReason;

constexpr std::size_t kRoom = 512;  // the worker's room for one message

struct Report {
    const char* name;
    int level;
    std::uint8_t origin;
    std::uint8_t type;
    std::uint8_t code;
    std::uint32_t error;
    std::uint32_t info;
    bool read;
    Reason reason;
    std::uint32_t mtu;
};

// Control data as the system lays it out: the extended error and the
// reporter's address, at `at` within a room of `size` bytes.
std::vector<char> control(const Report& r, std::size_t size, std::size_t at) {
    std::vector<char> bytes(size, 0);
    sock_extended_err report{};
    report.ee_errno = r.error;
    report.ee_origin = r.origin;
    report.ee_type = r.type;
    report.ee_code = r.code;
    report.ee_info = r.info;
    sockaddr_in reporter{};
    reporter.sin_family = AF_INET;
    reporter.sin_addr.s_addr = htonl(0x0A000001);
    cmsghdr header{};
    header.cmsg_level = r.level;
    header.cmsg_type = r.level == IPPROTO_IP ? IP_RECVERR : IPV6_RECVERR;
    header.cmsg_len = CMSG_LEN(sizeof report + sizeof reporter);
    std::memcpy(bytes.data() + at, &header, sizeof header);
    std::memcpy(bytes.data() + at + CMSG_LEN(0), &report, sizeof report);
    std::memcpy(bytes.data() + at + CMSG_LEN(sizeof report), &reporter, sizeof reporter);
    return bytes;
}

class DestinationErrorTest : public ::testing::TestWithParam<Report> {};

TEST_P(DestinationErrorTest, IsReadWithItsReasonWhereverItLiesInTheRoom) {
    const Report r = GetParam();
    const asio::ip::udp::endpoint to(asio::ip::make_address("10.0.0.9"), 9);
    const std::size_t length = CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in));
    // A first message of another kind ahead of it, so that it ends the room.
    std::vector<char> bytes = control(r, kRoom, kRoom - length);
    cmsghdr filler{};
    filler.cmsg_level = SOL_SOCKET;
    filler.cmsg_type = SO_TIMESTAMPNS;
    filler.cmsg_len = kRoom - length;
    std::memcpy(bytes.data(), &filler, sizeof filler);
    DestinationError out;
    ASSERT_EQ(readDestinationError(bytes.data(), bytes.size(), to, out), r.read);
    if (!r.read) return;
    EXPECT_EQ(out.destination, to);
    EXPECT_EQ(out.reason, r.reason);
    EXPECT_EQ(out.mtu, r.mtu);
    EXPECT_EQ(out.error.value(), static_cast<int>(r.error));
    EXPECT_EQ(out.reporterKnown, r.origin != SO_EE_ORIGIN_LOCAL);
    EXPECT_EQ(out.fromNetwork, r.origin != SO_EE_ORIGIN_LOCAL);
    if (out.reporterKnown) {
        EXPECT_EQ(out.reportedBy.address().to_string(), "10.0.0.1");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reports, DestinationErrorTest,
    ::testing::Values(
        Report{"PortV4", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 3, ECONNREFUSED, 0, true, Reason::Port, 0},
        Report{"HostV4", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 1, EHOSTUNREACH, 0, true, Reason::Host, 0},
        Report{"AdministrativelyV4", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 13, EHOSTUNREACH, 0, true,
               Reason::Host, 0},
        Report{"FragmentationNeededV4", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 4, EMSGSIZE, 1400, true,
               Reason::TooBig, 1400},
        Report{"TimeExceededV4", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 11, 0, EHOSTUNREACH, 0, true,
               Reason::Other, 0},
        Report{"PortV6", IPPROTO_IPV6, SO_EE_ORIGIN_ICMP6, 1, 4, ECONNREFUSED, 0, true,
               Reason::Port, 0},
        Report{"AdministrativelyV6", IPPROTO_IPV6, SO_EE_ORIGIN_ICMP6, 1, 1, EACCES, 0, true,
               Reason::Host, 0},
        Report{"PacketTooBigV6", IPPROTO_IPV6, SO_EE_ORIGIN_ICMP6, 2, 0, EMSGSIZE, 1280, true,
               Reason::TooBig, 1280},
        Report{"LocalTooBig", IPPROTO_IP, SO_EE_ORIGIN_LOCAL, 0, 0, EMSGSIZE, 1280, true,
               Reason::TooBig, 1280},
        // MTUs no path can have are not passed on as the path's.
        Report{"FragmentationNeededMtu0", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 4, EMSGSIZE, 0, true,
               Reason::TooBig, 0},
        Report{"FragmentationNeededMtu67", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 4, EMSGSIZE, 67, true,
               Reason::TooBig, 0},
        Report{"FragmentationNeededMtu68", IPPROTO_IP, SO_EE_ORIGIN_ICMP, 3, 4, EMSGSIZE, 68, true,
               Reason::TooBig, 68},
        Report{"PacketTooBigV6Mtu100", IPPROTO_IPV6, SO_EE_ORIGIN_ICMP6, 2, 0, EMSGSIZE, 100, true,
               Reason::TooBig, 0},
        Report{"PacketTooBigV6Mtu1279", IPPROTO_IPV6, SO_EE_ORIGIN_ICMP6, 2, 0, EMSGSIZE, 1279,
               true, Reason::TooBig, 0},
        Report{"TimeStampIsNoError", IPPROTO_IP, SO_EE_ORIGIN_TIMESTAMPING, 0, 0, ENOMSG, 0,
               false, Reason::Other, 0}),
    [](const ::testing::TestParamInfo<Report>& info) { return std::string(info.param.name); });

}  // namespace
