#pragma once

#include <cstdint>
#include <vector>

#include "udp/PolicyTable.h"

// A sender policy as a classic packet filter program for the system to run on
// each datagram before it queues it: the instructions' layout is the one the
// system's socket filters take (code, two jump offsets, a constant). It reads
// the sender from the network header, judges it by the rules, most specific
// first, and returns 0 (drop) or all of the datagram (keep). A datagram of a
// family it does not know is kept, for the server to judge.
struct FilterInstruction {
    std::uint16_t code;
    std::uint8_t jumpIfTrue;
    std::uint8_t jumpIfFalse;
    std::uint32_t constant;
};

// The most instructions the system takes in one program.
constexpr std::size_t kMostFilterInstructions = 4096;

// The program for `table`; it may be longer than the system takes (the
// caller checks).
std::vector<FilterInstruction> compileFilter(const PolicyTable& table);
