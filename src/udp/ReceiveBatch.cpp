#include "udp/ReceiveBatch.h"

ReceiveBatch::ReceiveBatch() : slab(new char[kSlots * kSlotSize]) {
    for (std::size_t i = 0; i < kSlots; ++i) {
        slots[i].bytes = slab.get() + i * kSlotSize;
        slots[i].control = controls[i].bytes;
    }
}

char* ReceiveBatch::spill() {
    if (!spillRoom) spillRoom.reset(new char[kSpillSize]);
    return spillRoom.get();
}
