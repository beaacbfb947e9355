#pragma once

#include <string>

// The host SDK's logger, as this library relies on it. The library defines none
// of it: the symbols are resolved from the SDK's shared library at load time,
// so any SDK (or host application) that defines velmora::Logger can supply it.
#if defined(_WIN32)
#define DRAVIK_HOST_API __declspec(dllimport)
#else
#define DRAVIK_HOST_API __attribute__((visibility("default")))
#endif

namespace velmora {

// Each call takes one finished line (no newline, no level prefix) and returns
// nothing; callable from any thread.
class DRAVIK_HOST_API Logger {
public:
    static void info(const std::string& message);
    static void error(const std::string& message);
    static void debug(const std::string& message);
};

}  // namespace velmora
