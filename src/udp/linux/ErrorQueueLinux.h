#pragma once

#include <cstddef>

#include "udp/Unreachables.h"

// Takes up to kMostErrorsPerStep messages from the socket's error queue
// without blocking and reports each destination error to `unreachables`;
// returns whether the queue may hold more. A storm of errors is taken a
// step at a time between batches of datagrams, so it never holds them up
// for long.
constexpr std::size_t kMostErrorsPerStep = 64;
bool drainErrorQueue(int socket, Unreachables& unreachables);
