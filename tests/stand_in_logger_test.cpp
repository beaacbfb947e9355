#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/LogControl.h>
#include <velmora/Logger.h>

namespace {

struct EscapeCase {
    std::string raw;
    std::string written;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.written; }

class EscapeControlBytesTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControlBytesTest, KeepsEveryLineOnePhysicalLine) {
    EXPECT_EQ(velmora::escapeControlBytes(GetParam().raw), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    ControlBytes, EscapeControlBytesTest,
    ::testing::Values(EscapeCase{"plain text", "plain text"},
                      EscapeCase{"two\nlines", "two\\nlines"},
                      EscapeCase{"cr\r\ttab", "cr\\r\\ttab"},
                      EscapeCase{std::string("nul\0end", 7), "nul\\x00end"},
                      EscapeCase{"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
                      EscapeCase{"back\\slash", "back\\\\slash"},
                      EscapeCase{"caf\xc3\xa9", "caf\xc3\xa9"}));

class StandInLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { velmora::LogControl::setMinimumLevel(previousLevel); }

    const velmora::LogLevel previousLevel = velmora::LogControl::minimumLevel();
};

TEST_F(StandInLoggerTest, WritesOneLevelledLinePerCallWithPayloadEscaped) {
    ::testing::internal::CaptureStderr();
    velmora::Logger::info("started");
    velmora::Logger::debug(std::string("forged\n[ERROR] line\0", 20));
    velmora::Logger::error("failed");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[INFO] started\n[DEBUG] forged\\n[ERROR] line\\x00\n[ERROR] failed\n");
}

TEST_F(StandInLoggerTest, DropsLinesBelowTheMinimumLevel) {
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Info);
    ::testing::internal::CaptureStderr();
    velmora::Logger::debug("hidden");
    velmora::Logger::info("shown");
    velmora::LogControl::setMinimumLevel(velmora::LogLevel::Off);
    velmora::Logger::error("hidden too");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[INFO] shown\n");
}

TEST_F(StandInLoggerTest, LinesFromManyThreadsNeverInterleave) {
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string line(200, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i) velmora::Logger::info(line);
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::string out = ::testing::internal::GetCapturedStderr();

    std::size_t lines = 0;
    for (std::size_t begin = 0; begin < out.size(); ++lines) {
        const std::size_t end = out.find('\n', begin);
        ASSERT_NE(end, std::string::npos);
        const std::string body = out.substr(begin + 7, end - begin - 7);  // after "[INFO] "
        EXPECT_EQ(body, std::string(200, body.front()));
        begin = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
