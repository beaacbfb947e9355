#pragma once

#include <system_error>
#include <vector>

#include "udp/FilterProgram.h"
#include "udp/NativeSocket.h"

// Whether the system runs a filter program on each datagram before queueing
// it (Linux's socket filters).
bool socketsTakeFilters();

// Puts `program` on the socket, replacing any filter it had (an empty
// program: removes it); sets `error` if the system refuses, leaving the
// socket's filter as it was. Where the system has no filters,
// operation_not_supported.
void setSocketFilter(ServerSocket::native_handle_type socket,
                     const std::vector<FilterInstruction>& program, std::error_code& error);
