#include <dravik/DravikExtension.h>

#include "host/Logger.h"

namespace velmora::extensions::dravik {

void DravikExtension::initialize() {
    velmora::Logger::debug("Initialized Velmora Extension -- Dravik --");
}

}  // namespace velmora::extensions::dravik
