// The Linux batch sender on its own, with segmentation offload tried and with
// it refused, so that both paths are checked on any kernel.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "udp/BatchSend.h"

namespace {

using Offload = SegmentationOffload::State;

class BatchSendTest : public ::testing::TestWithParam<Offload> {};

// Runs of equal sizes, a datagram too large for the system in the middle of
// one, and empty datagrams: every other datagram arrives, in order.
TEST_P(BatchSendTest, EveryDatagramArrivesInOrderAndOneTheSystemRefusesFailsAlone) {
    dravik_test::PeerSocket peer;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    const asio::ip::udp::endpoint to(asio::ip::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(peer.port()));
    const std::size_t sizes[] = {512, 512, 512, 512, 70000, 512, 512, 0, 0, 9, 1200, 1200, 33};
    std::vector<std::string> payloads;
    std::vector<UDPServer::Datagram> batch;
    for (std::size_t size : sizes) payloads.emplace_back(size, char('A' + payloads.size()));
    for (const std::string& p : payloads) batch.push_back({p.data(), p.size()});

    SegmentationOffload offload(GetParam());
    CompletedSends::Outcome outcomes[kMaxBatch];
    ASSERT_EQ(sendBatchWithoutBlocking(sender, batch.data(), batch.size(), to, offload, outcomes),
              batch.size());
    ::close(sender);

    for (std::size_t i = 0; i < payloads.size(); ++i) {
        if (payloads[i].size() == 70000) {
            EXPECT_EQ(outcomes[i].error.value(), EMSGSIZE);
            continue;
        }
        EXPECT_FALSE(outcomes[i].error) << i << ": " << outcomes[i].error.message();
        EXPECT_EQ(outcomes[i].size, payloads[i].size());
        EXPECT_EQ(peer.receive(), payloads[i]) << i;
    }
    if (GetParam() == Offload::Refused) {
        EXPECT_EQ(offload.current(), Offload::Refused);
    } else if (offload.current() != Offload::Works) {
        std::printf("this system refuses segmented sends: only the other path ran\n");
    }
}

// On a link whose MTU is smaller than the segments, the system refuses the
// segmented send: those datagrams go one by one, and runs of that size are
// not offered again, while smaller ones still are.
TEST(BatchSendMtuTest, SegmentsLargerThanTheLinkTakesGoOneByOne) {
    dravik_test::NetworkNamespace link("ip link set lo up mtu 1500");
    if (!link.skipReason.empty()) GTEST_SKIP() << link.skipReason;
    dravik_test::PeerSocket peer;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    const asio::ip::udp::endpoint to(asio::ip::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(peer.port()));
    const std::string small(100, 's'), large(2000, 'L');
    const std::vector<UDPServer::Datagram> batch = {
        {small.data(), small.size()}, {small.data(), small.size()},
        {large.data(), large.size()}, {large.data(), large.size()}};
    SegmentationOffload offload;
    CompletedSends::Outcome outcomes[kMaxBatch];
    ASSERT_EQ(sendBatchWithoutBlocking(sender, batch.data(), batch.size(), to, offload, outcomes),
              batch.size());
    ::close(sender);

    for (std::size_t i = 0; i < batch.size(); ++i) {
        EXPECT_FALSE(outcomes[i].error) << i << ": " << outcomes[i].error.message();
        EXPECT_EQ(peer.receive(), std::string(batch[i].data, batch[i].size)) << i;
    }
    if (offload.current() != Offload::Works) GTEST_SKIP() << "this system refuses segmented sends";
    EXPECT_TRUE(offload.allowed(small.size()));
    EXPECT_FALSE(offload.allowed(large.size()));
}

INSTANTIATE_TEST_SUITE_P(SegmentationTriedAndRefused, BatchSendTest,
                         ::testing::Values(Offload::Untried, Offload::Refused),
                         [](const ::testing::TestParamInfo<Offload>& info) {
                             return std::string(info.param == Offload::Untried ? "Tried" : "Refused");
                         });

}  // namespace
