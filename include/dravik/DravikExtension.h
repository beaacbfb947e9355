#pragma once

#include <dravik/export.h>

namespace velmora::extensions::dravik {

// The extension's entry for the host SDK. It registers nothing: UDPServer and
// Base64 are used directly and work whether or not initialize() was called.
class DRAVIK_EXPORT DravikExtension {
public:
    DravikExtension() = delete;

    // Announces the extension with one debug line in the host SDK's log, each
    // time it is called. Keeps no state, opens nothing, starts nothing.
    static void initialize();
};

}  // namespace velmora::extensions::dravik
