#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <velmora/LogControl.h>

namespace dravik_app {

// A mistake in the command line: printed with a pointer to --help, exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Something the user can act on (a port in use, a host name): one line, exit 1.
struct UserError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Standard input or output failed: "dravik COMMAND: read error: ..." or
// "dravik COMMAND: write error: ...", exit 1.
struct StreamError : std::runtime_error {
    StreamError(const char* what, int error);
};

// The arguments of one command: options are taken out as they are asked for,
// the rest are positional, and finish() refuses whatever is left unknown.
// "--" ends the options; an option given twice is a usage error.
class CommandLine {
public:
    CommandLine(std::string command, std::vector<std::string> arguments);

    const std::string& command() const { return name; }
    // Whether --help or -h stands among the options.
    bool helpAsked();
    // Takes "--name" out; true if it was there.
    bool flag(const std::string& option);
    // Takes "--name VALUE" (or "--name=VALUE") out; `fallback` if absent.
    std::string value(const std::string& option, const std::string& fallback);
    // The same, or nothing if absent.
    std::optional<std::string> optionalValue(const std::string& option);
    // Takes every "--name VALUE" out, for an option that may be repeated.
    std::vector<std::string> values(const std::string& option);
    // The remaining positional arguments, after refusing unknown options.
    std::vector<std::string> finish();

private:
    std::string name;
    std::vector<std::string> arguments;
};

// Parses a port: decimal digits, 0 to 65535; `what` names it in the error.
int parsePort(const std::string& text, const std::string& what);
// Parses a whole number in [min, max]; `what` names it in the error.
long parseNumber(const std::string& text, const std::string& what, long min, long max);
// "1 datagram", "2 datagrams": `count` and `noun`, plural unless 1.
std::string counted(unsigned long long count, const std::string& noun);
// "debug", "info", "error" or "off".
velmora::LogLevel parseLogLevel(const std::string& text);

}  // namespace dravik_app
