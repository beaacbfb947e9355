// The Linux batch sender on its own: with segmentation offload tried, with it
// refused (so both paths run on any kernel), and on a link whose MTU is
// smaller than the segments.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/NetworkNamespace.h"
#include "support/PeerSocket.h"
#include "udp/BatchSend.h"

namespace {

using Offload = SegmentationOffload::State;

struct BatchCase {
    const char* name;
    const char* namespaceSetup;  // null: the test's own namespace
    Offload offload;
    std::vector<std::size_t> sizes;
    std::size_t tooLargeForTheLink;  // segments refused from this size on; 0: none
};

class BatchSendTest : public ::testing::TestWithParam<BatchCase> {};

// Every datagram arrives in order, except one too large for any datagram,
// which fails alone; a run the link refuses goes one by one and is not
// offered again, while smaller runs still are.
TEST_P(BatchSendTest, EveryDatagramArrivesInOrderAndOneTheSystemRefusesFailsAlone) {
    const BatchCase c = GetParam();
    std::unique_ptr<dravik_test::NetworkNamespace> link;
    if (c.namespaceSetup) link = std::make_unique<dravik_test::NetworkNamespace>(c.namespaceSetup);
    if (link && !link->skipReason.empty()) GTEST_SKIP() << link->skipReason;
    dravik_test::PeerSocket peer;
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    const Route to = Route::toward(asio::ip::udp::endpoint(
        asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(peer.port())));
    std::vector<std::string> payloads;
    std::vector<Outgoing> batch;
    for (std::size_t size : c.sizes) payloads.emplace_back(size, char('A' + payloads.size()));
    for (const std::string& p : payloads) batch.push_back({p.data(), p.size(), &to});

    SegmentationOffload offload(c.offload);
    CompletedSends::Outcome outcomes[kMaxBatch];
    ASSERT_EQ(sendBatchWithoutBlocking(sender, batch.data(), batch.size(), offload, outcomes),
              batch.size());
    ::close(sender);

    for (std::size_t i = 0; i < payloads.size(); ++i) {
        if (payloads[i].size() > 65507) {
            EXPECT_EQ(outcomes[i].error.value(), EMSGSIZE);
            continue;
        }
        EXPECT_FALSE(outcomes[i].error) << i << ": " << outcomes[i].error.message();
        EXPECT_EQ(outcomes[i].size, payloads[i].size());
        EXPECT_EQ(peer.receive(), payloads[i]) << i;
    }
    if (c.offload == Offload::Refused) {
        EXPECT_EQ(offload.current(), Offload::Refused);
    }
    if (offload.current() != Offload::Works) return;  // a kernel without it: the other path ran
    EXPECT_TRUE(offload.allowed(c.sizes.front()));
    if (c.tooLargeForTheLink != 0) {
        EXPECT_FALSE(offload.allowed(c.tooLargeForTheLink));
    }
}

const std::vector<std::size_t> kMixed = {512, 512, 512, 512, 70000, 512, 512, 0, 0, 9, 1200, 1200, 33};

INSTANTIATE_TEST_SUITE_P(
    SegmentationTriedRefusedAndTooLarge, BatchSendTest,
    ::testing::Values(BatchCase{"Tried", nullptr, Offload::Untried, kMixed, 0},
                      BatchCase{"Refused", nullptr, Offload::Refused, kMixed, 0},
                      BatchCase{"LargerThanTheMtu", "ip link set lo up mtu 1500", Offload::Untried,
                                {100, 100, 2000, 2000}, 2000}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

}  // namespace
