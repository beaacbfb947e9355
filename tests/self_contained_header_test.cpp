// The public header stands on its own: a program that includes nothing else
// can catch the std::system_error it documents. The server is used before
// anything else is included.
#include <dravik/UDPServer.h>

namespace {

std::error_code refusalOfPort(int port) {
    try {
        UDPServer server(port);
        return {};
    } catch (const std::system_error& e) {
        return e.code();
    }
}

}  // namespace

#include <gtest/gtest.h>

TEST(SelfContainedHeaderTest, ItsDocumentedExceptionCanBeCaught) {
    EXPECT_EQ(refusalOfPort(-1), std::errc::invalid_argument);
}
