#pragma once

#include <string>

namespace dravik_app {

// Catches Ctrl-C and SIGTERM from now on, so the program can stop cleanly.
void catchInterrupts();
// Whether one of them has arrived.
bool interrupted();

// The next line of standard input, without its line break, in `line`; false
// at the end of the input or as soon as an interrupt arrives, even while it
// waits for input. Throws StreamError if reading fails.
bool readLine(std::string& line);

}  // namespace dravik_app
