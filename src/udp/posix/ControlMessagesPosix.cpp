#include "udp/ControlMessages.h"

#include <sys/socket.h>

#include <cstring>

const char* findControl(const char* control, std::size_t size, int level, int type,
                        std::size_t want) {
    std::size_t at = 0;
    while (size - at >= sizeof(cmsghdr)) {
        cmsghdr header;
        std::memcpy(&header, control + at, sizeof header);
        const std::size_t length = header.cmsg_len;
        if (length < sizeof(cmsghdr) || length > size - at) return nullptr;
        if (header.cmsg_level == level && header.cmsg_type == type && length >= CMSG_LEN(want)) {
            return control + at + CMSG_LEN(0);
        }
        const std::size_t step = CMSG_ALIGN(length);
        if (step >= size - at) return nullptr;
        at += step;
    }
    return nullptr;
}
