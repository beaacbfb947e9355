#pragma once

namespace dravik_app {

// Catches Ctrl-C and SIGTERM from now on, so the program can stop cleanly.
void catchInterrupts();
// Whether one of them has arrived.
bool interrupted();

}  // namespace dravik_app
