#pragma once

#include <chrono>

#include <asio/basic_waitable_timer.hpp>
#include <asio/io_context.hpp>

// The timer of a worker's event loop, tied to the loop's own executor type
// rather than the type-erased default. With the default, destroying a loop
// whose timer was never armed hung now and then under Wine, in asio's join
// of the loop's timer thread; with this type it does not.
using LoopTimer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                             asio::wait_traits<std::chrono::steady_clock>,
                                             asio::io_context::executor_type>;
