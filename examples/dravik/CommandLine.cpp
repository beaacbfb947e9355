#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

namespace dravik_app {

StreamError::StreamError(const char* what, int error)
    : std::runtime_error(std::string(what) + ": " + std::strerror(error)) {}

CommandLine::CommandLine(std::string command, std::vector<std::string> arguments)
    : name(std::move(command)), arguments(std::move(arguments)) {}

namespace {

// Where the options end: at "--", or at the end.
std::vector<std::string>::iterator optionsEnd(std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), "--");
}

bool isValueOf(const std::string& argument, const std::string& option) {
    return argument.rfind(option + "=", 0) == 0;
}

}  // namespace

bool CommandLine::helpAsked() {
    const auto end = optionsEnd(arguments);
    return std::find(arguments.begin(), end, "--help") != end ||
           std::find(arguments.begin(), end, "-h") != end;
}

bool CommandLine::flag(const std::string& option) {
    const auto end = optionsEnd(arguments);
    const auto found = std::find(arguments.begin(), end, option);
    if (found == end) return false;
    if (std::find(found + 1, end, option) != end) {
        throw UsageError("option '" + option + "' is given more than once");
    }
    arguments.erase(found);
    return true;
}

std::string CommandLine::value(const std::string& option, const std::string& fallback) {
    return optionalValue(option).value_or(fallback);
}

std::optional<std::string> CommandLine::optionalValue(const std::string& option) {
    const std::vector<std::string> given = values(option);
    if (given.size() > 1) throw UsageError("option '" + option + "' is given more than once");
    if (given.empty()) return std::nullopt;
    return given.front();
}

std::vector<std::string> CommandLine::values(const std::string& option) {
    std::vector<std::string> result;
    for (auto it = arguments.begin(); it != optionsEnd(arguments);) {
        if (*it != option && !isValueOf(*it, option)) {
            ++it;
            continue;
        }
        if (*it == option) {
            if (it + 1 == arguments.end()) throw UsageError(option + " needs a value");
            result.push_back(*(it + 1));
            it = arguments.erase(it, it + 2);
        } else {
            result.push_back(it->substr(option.size() + 1));
            it = arguments.erase(it);
        }
    }
    return result;
}

std::vector<std::string> CommandLine::finish() {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-' &&
                   !std::isdigit(static_cast<unsigned char>(argument[1]))) {
            throw UsageError("unknown option '" + argument + "'");
        } else {
            positional.push_back(argument);
        }
    }
    return positional;
}

long parseNumber(const std::string& text, const std::string& what, long min, long max) {
    std::size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size()) {
        throw UsageError(what + " must be a whole number, not '" + text + "'");
    }
    if (value < min || value > max) {
        throw UsageError(what + " must be " + std::to_string(min) + " to " + std::to_string(max) +
                         ", not " + text);
    }
    return value;
}

int parsePort(const std::string& text, const std::string& what) {
    // Decimal digits only: no sign, no spaces, no other base.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(what + " must be 0 to 65535, not '" + text + "'");
    }
    return static_cast<int>(parseNumber(text, what, 0, 65535));
}

std::string counted(unsigned long long count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

velmora::LogLevel parseLogLevel(const std::string& text) {
    if (text == "debug") return velmora::LogLevel::Debug;
    if (text == "info") return velmora::LogLevel::Info;
    if (text == "error") return velmora::LogLevel::Error;
    if (text == "off") return velmora::LogLevel::Off;
    throw UsageError("--log-level must be debug, info, error or off, not '" + text + "'");
}

}  // namespace dravik_app
