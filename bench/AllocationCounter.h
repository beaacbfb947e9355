#pragma once

// Allocations made through the global operator new since the process started,
// by any thread (the benchmark replaces operator new to count them).
long allocationCount();
