#pragma once

#include <system_error>

// `error` with asio's own system category replaced by one that compares
// equal to std::errc values and carries the system's message text: the
// standard system category on POSIX, where it does both; on Windows, the
// library's own, since the C++ runtime there knows neither Winsock's codes
// nor their texts. Other categories pass unchanged.
std::error_code standardCode(const std::error_code& error);
