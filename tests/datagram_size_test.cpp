// The largest datagram delivered whole: 1,024 bytes until raised, up to
// 65,535; what is longer is cut to it and counted.
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include <dravik/UDPServer.h>

#include "support/PeerSocket.h"
#include "support/RecordingDelegate.h"

namespace {

struct SizeCase {
    const char* name;
    const char* address;
    std::uint64_t maxSize;  // 0: left at its default
    std::vector<std::size_t> sent;
};

class WholeDatagramTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(WholeDatagramTest, DeliversUpToTheMaximumWholeAndCutsTheRest) {
    const SizeCase c = GetParam();
    dravik_test::RecordingDelegate delegate;  // outlives the server
    UDPServer server(0, c.address);
    if (c.maxSize != 0) server.setMaxDatagramSize(c.maxSize);
    const std::size_t most = static_cast<std::size_t>(server.maxDatagramSize());
    server.setDelegate(&delegate);
    server.start();
    dravik_test::PeerSocket peer(c.address);
    std::vector<std::string> expected;
    std::uint64_t cut = 0;
    for (std::size_t size : c.sent) {
        std::string payload(size, '\0');
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + (i * 7 + size) % 26);
        peer.sendTo(server.localPort(), payload);
        expected.push_back(payload.substr(0, most));
        cut += size > most ? 1 : 0;
    }
    ASSERT_TRUE(delegate.waitForCount(expected.size()));
    server.stop();
    EXPECT_EQ(delegate.messages(), expected);
    EXPECT_EQ(server.counters().truncated, cut);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WholeDatagramTest,
    ::testing::Values(SizeCase{"DefaultCut", "127.0.0.1", 0, {1024, 1025, 1500}},
                      SizeCase{"Mtu", "127.0.0.1", 1472, {1472, 1473}},
                      SizeCase{"JumboIPv6", "::1", 9000, {1500, 9000, 9001}},
                      SizeCase{"LargestIPv4", "127.0.0.1", 65535, {65507}},
                      SizeCase{"LargestIPv6", "::1", 65535, {65507}}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

std::errc refusalOf(UDPServer& server, std::uint64_t bytes) {
    try {
        server.setMaxDatagramSize(bytes);
    } catch (const std::system_error& e) {
        return e.code() == std::errc::invalid_argument ? std::errc::invalid_argument
                                                       : std::errc::operation_in_progress;
    }
    return std::errc();
}

// Outside 1 to 65,535, or while the server runs, nothing changes.
TEST(MaxDatagramSizeTest, RefusedOutsideItsRangeAndWhileRunning) {
    UDPServer server(0, "127.0.0.1");
    EXPECT_EQ(refusalOf(server, 0), std::errc::invalid_argument);
    EXPECT_EQ(refusalOf(server, 65536), std::errc::invalid_argument);
    EXPECT_EQ(server.maxDatagramSize(), 1024u);
    server.start();
    EXPECT_EQ(refusalOf(server, 2048), std::errc::operation_in_progress);
    EXPECT_EQ(server.maxDatagramSize(), 1024u);
    server.stop();
    EXPECT_EQ(refusalOf(server, 1), std::errc());
    EXPECT_EQ(server.maxDatagramSize(), 1u);
}

}  // namespace
