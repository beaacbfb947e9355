// The sender policy's table and filter program, the limits' buckets and the
// recent destinations, from their sources, with a clock the tests control.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <asio/ip/address.hpp>

#include "udp/FilterProgram.h"
#include "udp/PolicyTable.h"
#include "udp/RateLimiter.h"
#include "udp/RecentDestinations.h"

namespace {

using Verdict = UDPServer::Verdict;
constexpr Verdict A = Verdict::Allow;
constexpr Verdict D = Verdict::Deny;

SourceAddress source(const std::string& text) {
    return SourceAddress::of(asio::ip::make_address(text));
}

struct PolicyCase {
    const char* name;
    std::vector<UDPServer::SenderRule> rules;
    Verdict unmatched;
    // Each sender with what the policy says of it.
    std::vector<std::pair<const char*, Verdict>> senders;
};

class PolicyTableTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyTableTest, TheMostSpecificRuleDecidesAndDenyWinsATie) {
    const PolicyCase& c = GetParam();
    UDPServer::SenderPolicy policy;
    policy.rules = c.rules;
    policy.unmatched = c.unmatched;
    const PolicyTable table(policy);
    for (const auto& [sender, verdict] : c.senders) {
        EXPECT_EQ(table.allows(source(sender)), verdict == A) << sender;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Policies, PolicyTableTest,
    ::testing::Values(
        PolicyCase{"NoRules", {}, A, {{"10.0.0.1", A}, {"::1", A}}},
        PolicyCase{"NoRulesDeny", {}, D, {{"10.0.0.1", D}, {"2001:db8::1", D}}},
        PolicyCase{"Nested",
                   {{D, "10.0.0.0/8"}, {A, "10.1.0.0/16"}, {D, "10.1.2.0/24"}, {A, "10.1.2.3"}},
                   A,
                   {{"9.255.255.255", A}, {"10.0.0.0", D}, {"10.1.0.0", A}, {"10.1.2.2", D},
                    {"10.1.2.3", A}, {"10.1.2.4", D}, {"10.1.3.0", A}, {"10.2.0.0", D},
                    {"10.255.255.255", D}, {"11.0.0.0", A}}},
        PolicyCase{"TieOnOnePrefix", {{A, "10.0.0.0/8"}, {D, "10.0.0.0/8"}, {A, "10.0.0.0/8"}}, A,
                   {{"10.9.9.9", D}, {"11.0.0.0", A}}},
        PolicyCase{"WholeSpaces", {{D, "0.0.0.0/0"}, {A, "::/0"}, {A, "127.0.0.1/32"}}, A,
                   {{"127.0.0.1", A}, {"127.0.0.2", D}, {"255.255.255.255", D},
                    {"2001:db8::1", A}}},
        PolicyCase{"EdgesOfTheSpace", {{D, "255.255.255.255"}, {D, "0.0.0.0"}, {D, "ffff::/16"}},
                   A,
                   {{"0.0.0.0", D}, {"0.0.0.1", A}, {"255.255.255.254", A},
                    {"255.255.255.255", D}, {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", D},
                    {"fffe::", A}}},
        PolicyCase{"IPv6Prefixes",
                   {{D, "2001:db8::/32"}, {A, "2001:db8:0:1::/64"}, {D, "2001:db8:0:1::7/128"},
                    {A, "2001:db8:8000::/33"}},
                   A,
                   {{"2001:db8::1", D}, {"2001:db8:0:1::6", A}, {"2001:db8:0:1::7", D},
                    {"2001:db8:7fff::1", D}, {"2001:db8:8000::1", A}, {"2001:db9::", A}}},
        // A dual-stack server's IPv4 senders arrive IPv4-mapped.
        PolicyCase{"MappedSendersAreIPv4", {{D, "192.168.0.0/16"}, {A, "::/0"}}, D,
                   {{"::ffff:192.168.1.1", D}, {"::ffff:10.0.0.1", D}, {"::1", A}}},
        PolicyCase{"MappedRulesAreIPv4", {{A, "::ffff:10.0.0.0/104"}}, D,
                   {{"10.1.1.1", A}, {"::ffff:10.1.1.1", A}, {"11.0.0.0", D}}},
        PolicyCase{"FamiliesApart", {{D, "::/0"}}, A, {{"10.0.0.1", A}, {"::2", D}}}),
    [](const ::testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

class BadRuleTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadRuleTest, IsRefusedNamingTheRule) {
    UDPServer::SenderPolicy policy;
    policy.rules = {{A, "10.0.0.0/8"}, {D, GetParam()}};
    try {
        PolicyTable table(policy);
        FAIL() << "accepted " << GetParam();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument);
        EXPECT_NE(std::string(e.what()).find(std::string("'") + GetParam() + "'"),
                  std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, BadRuleTest,
                         ::testing::Values("", "/8", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1",
                                           "10.0.0.0/08", "10.0.0.1/8", "10.0.0", "010.0.0.0",
                                           "256.0.0.0", "10.0.0.0.0", "0x0a.0.0.0", "host",
                                           "::/129", "2001:db8::1/32", "fe80::1%lo/64",
                                           "10.0.0.0/8 ", " 10.0.0.0/8", "1.2.3.4/24/1"));

// What the system would do with the compiled program: a classic filter
// machine running it on a packet whose protocol and source it is given.
std::uint32_t runFilter(const std::vector<FilterInstruction>& program, std::uint32_t protocol,
                        const std::uint8_t* source, std::size_t sourceSize) {
    std::uint32_t a = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const FilterInstruction& i = program[pc];
        switch (i.code) {
        case 0x20:  // ld [k]
            if (i.constant == 0xfffff000u) {
                a = protocol;
            } else {
                const std::size_t at = i.constant - 0xfff00000u - (protocol == 0x0800 ? 12 : 8);
                if (at + 4 > sourceSize) return 0;  // the system drops a load past the packet
                a = static_cast<std::uint32_t>(source[at] << 24 | source[at + 1] << 16 |
                                               source[at + 2] << 8 | source[at + 3]);
            }
            break;
        case 0x54: a &= i.constant; break;
        case 0x05: pc += i.constant; break;
        case 0x15: pc += a == i.constant ? i.jumpIfTrue : i.jumpIfFalse; break;
        case 0x25: pc += a > i.constant ? i.jumpIfTrue : i.jumpIfFalse; break;
        case 0x35: pc += a >= i.constant ? i.jumpIfTrue : i.jumpIfFalse; break;
        case 0x06: return i.constant;
        default: ADD_FAILURE() << "unknown code " << i.code; return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

// Random policies of nested prefixes around random addresses, judged by the
// table and by the program alike, for senders at the rules' edges.
TEST(FilterProgramTest, JudgesEverySenderAsTheTableDoes) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 200; ++round) {
        UDPServer::SenderPolicy policy;
        policy.unmatched = random() % 2 ? A : D;
        std::vector<SourceAddress> edges;
        for (int r = 0; r < 12; ++r) {
            const bool v6 = random() % 2;
            SourceAddress base;
            base.v6 = v6;
            // A few shared leading bits, so that prefixes nest and touch.
            base.value = v6 ? Wide{0x20010db800000000ull | (random() & 0xffff0000ffffull), random()}
                            : Wide{0, 0x0a000000u | (random() & 0x00ff00ffu)};
            const int length = static_cast<int>(random() % (base.bits() + 1));
            const Wide first = base.value.masked(length, base.bits());
            asio::ip::address address;
            if (v6) {
                asio::ip::address_v6::bytes_type bytes{};
                for (int b = 0; b < 8; ++b) {
                    bytes[static_cast<std::size_t>(b)] = static_cast<unsigned char>(first.high >> (56 - 8 * b));
                    bytes[static_cast<std::size_t>(8 + b)] = static_cast<unsigned char>(first.low >> (56 - 8 * b));
                }
                address = asio::ip::address_v6(bytes);
            } else {
                address = asio::ip::address_v4(static_cast<std::uint32_t>(first.low));
            }
            policy.rules.push_back({random() % 2 ? A : D, address.to_string() + "/" + std::to_string(length)});
            SourceAddress at = base;
            at.value = first;
            edges.push_back(at);
            at.value = first.filled(length, base.bits());
            edges.push_back(at);
            at.value = at.value.next();
            if (at.value != Wide{}.filled(0, base.bits()).next()) edges.push_back(at);
        }
        const PolicyTable table(policy);
        const auto program = compileFilter(table);
        ASSERT_LE(program.size(), kMostFilterInstructions);
        for (const SourceAddress& sender : edges) {
            std::uint8_t bytes[16];
            for (int b = 0; b < 8; ++b) {
                bytes[b] = static_cast<std::uint8_t>(sender.value.high >> (56 - 8 * b));
                bytes[8 + b] = static_cast<std::uint8_t>(sender.value.low >> (56 - 8 * b));
            }
            const std::uint32_t kept =
                sender.v6 ? runFilter(program, 0x86dd, bytes, 16)
                          : runFilter(program, 0x0800, bytes + 12, 4);
            ASSERT_EQ(kept != 0, table.allows(sender)) << "round " << round;
        }
    }
}

TEST(FilterProgramTest, KeepsWhatItCannotJudgeAndFitsAThousandIPv4Rules) {
    UDPServer::SenderPolicy policy;
    policy.unmatched = D;
    for (int i = 0; i < 1000; ++i) {
        policy.rules.push_back({A, "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".0/24"});
    }
    const auto program = compileFilter(PolicyTable(policy));
    EXPECT_LE(program.size(), kMostFilterInstructions);
    EXPECT_NE(runFilter(program, 0x0806, nullptr, 0), 0u);  // neither IPv4 nor IPv6
}

// The clock is the tests' own: nanoseconds.
constexpr std::int64_t kSecond = 1000000000;

RateLimiter limiter(double perSecond, double burst, bool dryRun = false, bool exempt = false) {
    UDPServer::RateLimit limit;
    limit.perSecond = perSecond;
    limit.burst = burst;
    limit.dryRun = dryRun;
    limit.exemptLoopback = exempt;
    return RateLimiter(limit, KeyedHash(1, 2));
}

TEST(RateLimiterTest, AVictimPrefixGetsAtMostRateTimesSecondsPlusBurst) {
    RateLimiter limit = limiter(100, 20);
    int passed = 0;
    // 10 s of requests every 100 us, from every address of one /24.
    for (std::int64_t t = 0; t < 10 * kSecond; t += 100000) {
        const std::string sender = "198.51.100." + std::to_string(t / 100000 % 256);
        passed += limit.take(source(sender), t) == RateLimiter::Outcome::Pass;
    }
    EXPECT_LE(passed, 100 * 10 + 20);
    EXPECT_GE(passed, 100 * 10);
    // Another /24 has a budget of its own.
    EXPECT_EQ(limit.take(source("198.51.101.1"), 10 * kSecond), RateLimiter::Outcome::Pass);
}

TEST(RateLimiterTest, TheBurstPassesAtOnceAndTheBudgetRefillsAtTheRate) {
    RateLimiter limit = limiter(10, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(limit.take(source("2001:db8::1"), 0), RateLimiter::Outcome::Pass);
    // The same /56.
    EXPECT_EQ(limit.take(source("2001:db8:0:ff::2"), 0), RateLimiter::Outcome::Refuse);
    EXPECT_EQ(limit.take(source("2001:db8::1"), kSecond / 10 - 1), RateLimiter::Outcome::Refuse);
    EXPECT_EQ(limit.take(source("2001:db8::1"), kSecond / 10), RateLimiter::Outcome::Pass);
    EXPECT_EQ(limit.take(source("2001:db8:0:100::1"), 0), RateLimiter::Outcome::Pass);
}

TEST(RateLimiterTest, ADryRunTakesNothingAndLoopbackMayBeExempt) {
    RateLimiter dry = limiter(1, 1, true);
    EXPECT_EQ(dry.take(source("10.0.0.1"), 0), RateLimiter::Outcome::Pass);
    EXPECT_EQ(dry.take(source("10.0.0.1"), 1), RateLimiter::Outcome::WouldRefuse);
    EXPECT_EQ(dry.take(source("10.0.0.1"), kSecond), RateLimiter::Outcome::Pass);
    RateLimiter exempt = limiter(1, 1, false, true);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(exempt.take(source("127.0.0.5"), 0), RateLimiter::Outcome::Pass);
        EXPECT_EQ(exempt.take(source("::1"), 0), RateLimiter::Outcome::Pass);
    }
    EXPECT_EQ(exempt.take(source("10.0.0.1"), 0), RateLimiter::Outcome::Pass);
    EXPECT_EQ(exempt.take(source("10.0.0.1"), 0), RateLimiter::Outcome::Refuse);
}

// The slowest rate with the largest burst: the burst passes, and nothing the
// buckets add up leaves its range (UndefinedBehaviorSanitizer watches).
TEST(RateLimiterTest, TheSlowestRateWithTheLargestBurstStaysInRange) {
    RateLimiter limit = limiter(0.001, 1e9);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(limit.take(source("10.0.0.1"), INT64_MAX / 4), RateLimiter::Outcome::Pass);
    }
}

// A million distinct /24s in one second cannot grow the table, and the victim
// among them keeps its limit: sharing a bucket only ever refuses more.
TEST(RateLimiterTest, AMillionPrefixesLeaveTheTableAsItWasAndTheVictimLimited) {
    RateLimiter limit = limiter(10, 10);
    int victim = 0;
    for (std::uint32_t i = 0; i < 1000000; ++i) {
        const std::int64_t t = static_cast<std::int64_t>(i) * 1000;
        SourceAddress flood;
        flood.value.low = i << 8;
        limit.take(flood, t);
        if (i % 100 == 0) victim += limit.take(source("203.0.113.9"), t) == RateLimiter::Outcome::Pass;
    }
    EXPECT_LE(victim, 10 * 1 + 10);
    EXPECT_EQ(RateLimiter::memoryBytes(), RateLimiter::kBuckets * 8);
}

class BadLimitTest : public ::testing::TestWithParam<UDPServer::RateLimit> {};

TEST_P(BadLimitTest, IsRefused) {
    try {
        RateLimiter::check(GetParam());
        FAIL() << "taken";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument) << e.what();
    }
}

UDPServer::RateLimit limitOf(double perSecond, double burst, int v4 = 24, int v6 = 56) {
    UDPServer::RateLimit limit;
    limit.perSecond = perSecond;
    limit.burst = burst;
    limit.ipv4PrefixLength = v4;
    limit.ipv6PrefixLength = v6;
    return limit;
}

INSTANTIATE_TEST_SUITE_P(Limits, BadLimitTest,
                         ::testing::Values(limitOf(-1, 1), limitOf(2e9, 1), limitOf(std::nan(""), 1),
                                           limitOf(1e-300, 1), limitOf(1e300, 1),
                                           limitOf(1, 0.5), limitOf(1, 2e9), limitOf(1, 1, 33),
                                           limitOf(1, 1, 24, -1)));

TEST(RecentDestinationsTest, RemembersWhereItSentForTheHorizon) {
    RecentDestinations recent;
    const auto t = std::chrono::steady_clock::now();
    const asio::ip::udp::endpoint to(asio::ip::make_address("127.0.0.7"), 4000);
    const asio::ip::udp::endpoint mapped(asio::ip::make_address("::ffff:127.0.0.7"), 4000);
    EXPECT_FALSE(recent.sentTo(to, t));
    recent.note(to, t);
    EXPECT_TRUE(recent.sentTo(to, t + std::chrono::seconds(1)));
    EXPECT_TRUE(recent.sentTo(mapped, t));
    EXPECT_FALSE(recent.sentTo({to.address(), 4001}, t));
    EXPECT_FALSE(recent.sentTo(to, t + RecentDestinations::kHorizon + std::chrono::seconds(2)));
}

}  // namespace
