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
    areas = deliveredAreas = offset = 0;
    if (relayout) apply(wantedLayout);
    relayout = false;
}

void ReceiveBatch::apply(const Layout& wanted) {
    Layout changed = wanted;
    changed.areaSize = wanted.trains ? kTrainSize : wanted.maxDatagram;
    changed.areas = std::min(kMaxAreas, std::max<std::size_t>(1, kMostRoom / changed.areaSize));
    if (changed.areaSize != layout.areaSize || changed.areas != layout.areas || !room) {
        room.reset(new char[changed.areas * changed.areaSize]);
        controls.resize(changed.areas);
        receipts.resize(changed.areas);
    }
    layout = changed;
}

char* ReceiveBatch::spill() {
    if (!spillRoom) spillRoom.reset(new char[kSpillSize]);
    return spillRoom.get();
}

void ReceiveBatch::commitDatagram(std::size_t length, std::size_t controlSize) {
    Receipt& next = receipts[areas];
    next.length = length;
    next.segment = 0;
    if (next.error) next.error.clear();
    next.controlSize = controlSize;
    commit();
}

void ReceiveBatch::commitFailure(const std::error_code& error) {
    Receipt& next = receipts[areas];
    next.length = next.segment = next.controlSize = 0;
    next.error = error;
    commit();
}
