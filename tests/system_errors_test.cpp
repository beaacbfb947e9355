// The library's conversion of the system's error codes: each compares equal to
// its std::errc value and reads exactly as asio's own category gives it.
#include <string>
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

// Where the system has no words for a code (Wine, for several of Winsock's),
// the code's number and name stand in.
TEST_P(SystemErrorsTest, ComparesEqualToItsConditionInTheSystemsWords) {
    const std::error_code original = GetParam().code;
    const std::error_code converted = standardCode(original);
    EXPECT_EQ(converted, GetParam().condition) << converted.message();
    EXPECT_EQ(converted.value(), original.value());
    if (original.message() == "asio.system error") {
        EXPECT_EQ(converted.message().rfind("error " + std::to_string(original.value()) + " (", 0), 0u)
            << converted.message();
    } else {
        EXPECT_EQ(converted.message(), original.message());
    }
}

TEST(SystemErrorsTest, ACodeWithoutWordsIsGivenByItsNumber) {
    // An application-defined code (bit 29): the system has no text for it.
    const int unknown = 0x2000ABCD;
    const std::error_code converted = standardCode({unknown, asio::error::get_system_category()});
    const std::string message = converted.message();
    if (message != "error " + std::to_string(unknown)) {
        // POSIX systems have words ("Unknown error N") for every number.
        EXPECT_NE(message.find(std::to_string(unknown)), std::string::npos) << message;
    }
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
