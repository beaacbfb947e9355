// Processors without a vectorised codec use the scalar one.
#include "base64/Codec.h"

namespace velmora::extensions::dravik::base64 {

std::vector<const Codec*> availableCodecs() {
    return {&scalarCodec()};
}

}  // namespace velmora::extensions::dravik::base64
