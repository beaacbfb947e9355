#pragma once

#include <cstddef>

// The data of the first control message of `level` and `type` among the
// `size` bytes of `control` that holds at least `want` bytes and lies wholly
// within those bytes; null if there is none. Nothing outside them is read,
// whatever the lengths they claim. POSIX.
const char* findControl(const char* control, std::size_t size, int level, int type,
                        std::size_t want);
