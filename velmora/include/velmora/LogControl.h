#pragma once

#include <functional>
#include <string>

#include <velmora/export.h>

namespace velmora {

enum class LogLevel { Debug, Info, Error, Off };

// The stand-in SDK's own controls, for tests and host applications. The
// extension never calls them.
class VELMORA_EXPORT LogControl {
public:
    // Receives every line that passes the minimum level, exactly as it was
    // logged (no escaping). Called with the logger's lock held, one line at a
    // time: it must not log, and whatever it throws is swallowed.
    using Capture = std::function<void(LogLevel, const std::string&)>;

    // Lines below `level` are dropped; Off drops everything. Default: Debug.
    static void setMinimumLevel(LogLevel level);
    static LogLevel minimumLevel();

    // While a capture is set, lines go to it instead of standard error.
    // An empty function restores standard error.
    static void setCapture(Capture capture);
};

// `text` with every control byte written as an escape (\n, \r, \t, \\ and
// \xHH for the rest, NUL included), so it always stays one physical line.
VELMORA_EXPORT std::string escapeControlBytes(const std::string& text);

}  // namespace velmora
