#pragma once

#include <system_error>

// What went wrong with a receive that the system itself reported as taken.
enum class ReceiveFault {
    // The control data was cut short, so a train's datagram size is unknown.
    ControlCutShort = 1,
    // A train ran on past the end of its area.
    TrainPastArea,
};

std::error_code make_error_code(ReceiveFault fault);

namespace std {
template <>
struct is_error_code_enum<ReceiveFault> : true_type {};
}  // namespace std
