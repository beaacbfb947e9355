#pragma once

#include <chrono>
#include <cstdint>

namespace dravik_app {

// Monotonic milliseconds.
inline std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace dravik_app
