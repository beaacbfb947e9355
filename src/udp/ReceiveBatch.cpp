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

// A datagram of its own, or the datagram at `offset` of a train, is whatever
// of it lies in the area, cut to the largest delivered whole. A train's
// datagrams are never more than its area holds, plus one error for a train
// that ran on past it: the area, not what the system reports, bounds them.
const ReceiveBatch::Datagram* ReceiveBatch::next() {
    if (!pending()) return nullptr;
    const Receipt& receipt = receipts[deliveredAreas];
    current.sender = &receipt.sender;
    current.control = controls[deliveredAreas].bytes;
    current.controlSize = std::min(receipt.controlSize, kControlSize);
    bool areaDone = true;
    if (receipt.error) {
        view(0, 0);
        current.error = receipt.error;
    } else if (receipt.segment == 0 || receipt.segment >= receipt.length) {
        view(0, receipt.length);
    } else if (offset >= layout.areaSize) {
        view(0, 0);
        current.error = ReceiveFault::TrainPastArea;
    } else {
        const std::size_t whole = std::min(receipt.segment, receipt.length - offset);
        view(offset, whole);
        offset += whole;
        areaDone = offset >= receipt.length;
    }
    if (areaDone) {
        ++deliveredAreas;
        offset = 0;
    }
    return &current;
}

void ReceiveBatch::view(std::size_t at, std::size_t whole) {
    const std::size_t kept = std::min(whole, layout.areaSize - at);
    current.bytes = area(deliveredAreas) + at;
    current.size = std::min(kept, layout.maxDatagram);
    current.truncated = whole > current.size;
    current.error.clear();
}
