#pragma once

#include <string>

namespace dravik_test {

// True when this Windows build runs under Wine rather than on Windows.
bool runningUnderWine();

// Whether `message` reads as the system's own text for an error: not empty,
// not a runtime's "Unknown error" stand-in, one line.
bool isSystemText(const std::string& message);

}  // namespace dravik_test
