#pragma once

namespace dravik_test {

// True when this Windows build runs under Wine rather than on Windows.
bool runningUnderWine();

}  // namespace dravik_test
