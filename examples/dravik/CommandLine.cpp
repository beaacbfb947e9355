#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace dravik_app {

CommandLine::CommandLine(std::string command, std::vector<std::string> arguments)
    : name(std::move(command)), arguments(std::move(arguments)) {}

bool CommandLine::flag(const std::string& option) {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end()) return false;
    arguments.erase(found);
    return true;
}

std::string CommandLine::value(const std::string& option, const std::string& fallback) {
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (*it == option) {
            if (it + 1 == arguments.end()) throw UsageError(option + " needs a value");
            std::string result = *(it + 1);
            arguments.erase(it, it + 2);
            return result;
        }
        if (it->rfind(option + "=", 0) == 0) {
            std::string result = it->substr(option.size() + 1);
            arguments.erase(it);
            return result;
        }
    }
    return fallback;
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
    return static_cast<int>(parseNumber(text, what, 0, 65535));
}

velmora::LogLevel parseLogLevel(const std::string& text) {
    if (text == "debug") return velmora::LogLevel::Debug;
    if (text == "info") return velmora::LogLevel::Info;
    if (text == "error") return velmora::LogLevel::Error;
    if (text == "off") return velmora::LogLevel::Off;
    throw UsageError("--log-level must be debug, info, error or off, not '" + text + "'");
}

}  // namespace dravik_app
