// The library's conversion of the system's error codes: each compares equal to
// its std::errc value and reads exactly as asio's own category gives it.
#include <system_error>

#include <gtest/gtest.h>

#include <asio/error.hpp>

#include "udp/SystemErrors.h"

namespace {

struct Case {
    asio::error::basic_errors code;
    std::errc condition;
};

class SystemErrorsTest : public ::testing::TestWithParam<Case> {};

TEST_P(SystemErrorsTest, ComparesEqualToItsConditionInTheSystemsWords) {
    const std::error_code original = GetParam().code;
    const std::error_code converted = standardCode(original);
    EXPECT_EQ(converted, GetParam().condition) << converted.message();
    EXPECT_EQ(converted.value(), original.value());
    EXPECT_EQ(converted.message(), original.message());
}

INSTANTIATE_TEST_SUITE_P(
    SocketErrors, SystemErrorsTest,
    ::testing::Values(Case{asio::error::address_in_use, std::errc::address_in_use},
                      Case{asio::error::access_denied, std::errc::permission_denied},
                      Case{asio::error::invalid_argument, std::errc::invalid_argument},
                      Case{asio::error::no_descriptors, std::errc::too_many_files_open},
                      Case{asio::error::connection_refused, std::errc::connection_refused},
                      Case{asio::error::message_size, std::errc::message_size}));

TEST(SystemErrorsTest, OtherCategoriesPassUnchanged) {
    const std::error_code generic = std::make_error_code(std::errc::invalid_argument);
    EXPECT_EQ(standardCode(generic), generic);
}

}  // namespace
