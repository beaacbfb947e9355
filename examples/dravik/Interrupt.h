#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dravik_app {

// Readies the standard streams; call it before anything else. POSIX: takes
// the numbers of standard input, output and error where they are closed, so
// that nothing the program opens later takes them: input and error on the
// null device (a closed input is an empty one), output so that writing it
// fails ("Bad file descriptor") as writing the closed stream would. Windows:
// input and output in binary mode, so that bytes pass as they are (no 0x1A
// ends the input, no LF becomes CR LF).
void prepareStandardStreams();

// Whether standard error is a terminal that standard output does not write
// to as well: there a status line may rewrite itself in place, as no other
// output can land on its end.
bool standardErrorIsOwnTerminal();

// Catches Ctrl-C and SIGTERM from now on, so the program can stop cleanly;
// Ctrl-C stays ignored where it was ignored at start (a command started in
// the background by a shell).
void catchInterrupts();
// Whether one of them has arrived.
bool interrupted();
// The number of the signal that arrived (SIGINT or SIGTERM), 0 if none.
int interruptSignal();

// The next lines of standard input, without their line feeds (a CR before
// one is part of the line), in `lines` (replaced): all the complete lines
// that have arrived, at least one, or the input's unterminated last line. False at the end of the input or as soon as
// an interrupt arrives, even while it waits for input. Throws StreamError if
// reading fails.
bool readLines(std::vector<std::string>& lines);

// Reads up to `size` bytes of `in` into `block`, as many as are there once
// any are; 0 at the end of the input or as soon as an interrupt arrives,
// even while it waits. Throws StreamError if reading fails.
std::size_t readSome(std::FILE* in, char* block, std::size_t size);

// Writes all `size` bytes to standard output, waiting for room as long as no
// interrupt arrives: an interrupt ends the wait, leaving the rest unwritten.
// Throws StreamError if writing fails.
void writeOut(const void* data, std::size_t size);

// Writes all `size` bytes to standard output, waiting for room whatever
// interrupts arrive, until `giveUpAt` (monotonic milliseconds, looked at
// while it waits; 0: never) has passed. Returns whether all were written.
// Throws StreamError if writing fails.
bool writeOutBefore(const void* data, std::size_t size, const std::atomic<std::int64_t>& giveUpAt);

}  // namespace dravik_app
