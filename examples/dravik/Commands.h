#pragma once

#include "CommandLine.h"

namespace dravik_app {

// Each command takes its arguments (without its name) and returns the exit
// status; usage mistakes and user errors are thrown.
int runDemo(CommandLine& line);
int runListen(CommandLine& line);
int runEcho(CommandLine& line);
int runSend(CommandLine& line);
int runBase64(CommandLine& line);

}  // namespace dravik_app
