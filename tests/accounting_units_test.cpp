// The library's error line budget and its reading of the system's drop count,
// driven with made-up times and readings.
#include <cstdint>
#include <deque>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "udp/ErrorLineBudget.h"
#include "udp/SystemDropCount.h"

namespace {

using Clock = ErrorLineBudget::Clock;
using std::chrono::milliseconds;

// One line, then lines every `spacing` from 900 ms later on, so that a burst
// straddles the second after the first line: no span of one second may hold
// more than 10 of those let through, and lines 100 ms or more apart are all
// let through.
class ErrorLineSpanTest : public ::testing::TestWithParam<int> {};

TEST_P(ErrorLineSpanTest, NoOneSecondSpanHoldsMoreThanTenLines) {
    ErrorLineBudget budget;
    const milliseconds spacing(GetParam());
    const Clock::time_point first = Clock::now();
    ASSERT_TRUE(budget.admit(first));
    std::deque<Clock::time_point> lastSecond{first};
    int admitted = 0, asked = 0;
    const Clock::time_point start = first + milliseconds(900);
    for (Clock::time_point t = start; t < start + std::chrono::seconds(3); t += spacing) {
        ++asked;
        if (!budget.admit(t)) continue;
        ++admitted;
        lastSecond.push_back(t);
        while (t - lastSecond.front() >= ErrorLineBudget::kSpan) lastSecond.pop_front();
        ASSERT_LE(lastSecond.size(), ErrorLineBudget::kLinesPerSpan) << "at line " << asked;
    }
    if (spacing >= milliseconds(100)) {
        EXPECT_EQ(admitted, asked);
    } else if (spacing <= milliseconds(10)) {
        EXPECT_GE(admitted, 30);  // 10 in each second
    }
}

INSTANTIATE_TEST_SUITE_P(Spacings, ErrorLineSpanTest, ::testing::Values(1, 7, 40, 99, 100, 150));

TEST(ErrorLineReportTest, HeldLinesAreReportedOnceTheSpanAllowsAndAtMostOnceASecond) {
    ErrorLineBudget budget;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(budget.admit(t0 + milliseconds(i)));
    EXPECT_FALSE(budget.admit(t0 + milliseconds(20)));
    EXPECT_TRUE(budget.holdBack());   // the first held line schedules the report
    EXPECT_FALSE(budget.holdBack());  // later ones join it
    EXPECT_TRUE(budget.holding());
    EXPECT_EQ(budget.reportTime(), t0 + ErrorLineBudget::kSpan);
    EXPECT_EQ(budget.takeHeld(t0 + ErrorLineBudget::kSpan), 2u);
    EXPECT_FALSE(budget.holding());
    EXPECT_TRUE(budget.holdBack());
    EXPECT_EQ(budget.reportTime(), t0 + 2 * ErrorLineBudget::kSpan);
}

// A line logged well after it was admitted (its thread held up meanwhile)
// keeps its place in the span from when it was logged, as does the report, so
// a logger stamping lines as they arrive never sees an eleventh in a second.
TEST(ErrorLineReportTest, LinesAndReportsCountFromWhenTheyWereLogged) {
    ErrorLineBudget budget;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(budget.admit(t0 + milliseconds(i)));
    budget.logged(t0, t0 + milliseconds(300));
    EXPECT_FALSE(budget.admit(t0 + milliseconds(1200)));
    EXPECT_TRUE(budget.admit(t0 + milliseconds(1300)));

    EXPECT_TRUE(budget.holdBack());
    EXPECT_EQ(budget.takeHeld(t0 + milliseconds(1400)), 1u);
    budget.reported(t0 + milliseconds(1700));
    EXPECT_TRUE(budget.holdBack());
    EXPECT_EQ(budget.reportTime(), t0 + milliseconds(2700));
}

struct Readings {
    std::vector<std::uint32_t> readings;
    std::uint64_t growth;
};

void PrintTo(const Readings& r, std::ostream* os) {
    for (std::uint32_t reading : r.readings) *os << reading << ' ';
}

class SystemDropCountTest : public ::testing::TestWithParam<Readings> {};

TEST_P(SystemDropCountTest, CountsEachDropOnce) {
    SystemDropCount count;
    std::uint64_t total = 0;
    for (std::uint32_t reading : GetParam().readings) total += count.advance(reading);
    EXPECT_EQ(total, GetParam().growth);
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedOlderAndWrapping, SystemDropCountTest,
    ::testing::Values(Readings{{7, 7, 7}, 7}, Readings{{5, 3, 9, 8}, 9},
                      Readings{{0x70000000u, 0xF0000000u, 0xFFFFFFF0u, 0x10u}, 0x100000010u},
                      Readings{{0x70000000u, 0x6FFFFFFFu}, 0x70000000u}));

}  // namespace
