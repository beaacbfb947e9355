#pragma once

#include <string>

#include <velmora/export.h>

namespace velmora {

// The host SDK's logger. Each call carries one finished line, without a
// trailing newline or level prefix; the string is only borrowed for the call.
// Callable from several threads at once; never throws.
class VELMORA_EXPORT Logger {
public:
    static void info(const std::string& message);
    static void error(const std::string& message);
    static void debug(const std::string& message);
};

}  // namespace velmora
