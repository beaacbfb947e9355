#include "base64/Codec.h"

namespace velmora::extensions::dravik::base64 {

const Codec& chosenCodec() {
    static const Codec& chosen = *availableCodecs().back();
    return chosen;
}

}  // namespace velmora::extensions::dravik::base64
