#include "udp/ReceiveBatch.h"

#include <algorithm>

ReceiveBatch::ReceiveBatch() {
    Layout initial;
    apply(initial);
}

void ReceiveBatch::setLayout(std::size_t maxDatagram, bool trains) {
    wantedLayout.maxDatagram = maxDatagram;
    wantedLayout.trains = trains;
    relayout = true;
}

void ReceiveBatch::clear() {
    count = areas = delivered = 0;
    if (relayout) apply(wantedLayout);
    relayout = false;
}

// Slots of datagrams of their own keep pointing at their areas; the receives
// of trains point theirs into the train.
void ReceiveBatch::apply(const Layout& wanted) {
    Layout changed = wanted;
    changed.areaSize = wanted.trains ? kTrainSize : wanted.maxDatagram;
    changed.areas = std::min(kMaxAreas, std::max<std::size_t>(1, kMostRoom / changed.areaSize));
    if (changed.areaSize != layout.areaSize || changed.areas != layout.areas || !room) {
        room.reset(new char[changed.areas * changed.areaSize]);
        controls.resize(changed.areas);
        slots.assign(changed.areas * (changed.trains ? kMaxSegments : 1), Slot());
    } else if (changed.trains != layout.trains) {
        slots.assign(changed.areas * (changed.trains ? kMaxSegments : 1), Slot());
    }
    layout = changed;
    for (std::size_t i = 0; i < layout.areas; ++i) {
        slots[i].bytes = area(i);
        slots[i].control = control(i);
    }
}

char* ReceiveBatch::spill() {
    if (!spillRoom) spillRoom.reset(new char[kSpillSize]);
    return spillRoom.get();
}
