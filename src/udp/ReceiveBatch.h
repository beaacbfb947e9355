#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/ip/udp.hpp>

#include "udp/ReceiveFault.h"
#include "udp/Route.h"

// Datagrams taken from the socket in one go, delivered one at a time in
// arrival order. The system's receives fill areas, each with room for the
// control data it adds (where the datagram arrived, the drop count, a train's
// segment size). An area holds one datagram or, where the system coalesces, a
// train of datagrams of one size (the last may be shorter); its receipt says
// which. Delivery steps through the areas and, within a train, through its
// segments, so a train of any length is split where it lies, within its area.
//
// The layout follows the largest datagram delivered whole and whether areas
// take trains: 32 areas of that size, but no more than 1 MiB of them; for
// trains, 16 areas of 64 KiB. A new layout takes effect at the next clear(),
// once every datagram of the last fill has been delivered. Worker thread only
// (and a thread that runs while no worker does).
class ReceiveBatch {
public:
    static constexpr std::size_t kDefaultDatagram = 1024;
    static constexpr std::size_t kMaxAreas = 32;
    static constexpr std::size_t kMostRoom = 1024 * 1024;
    static constexpr std::size_t kTrainSize = 65536;  // a train's area
    static constexpr std::size_t kControlSize = 256;

    // What one receive left in an area: its length as the system reported
    // it (the whole length, even where the area kept less), the size of a
    // train's datagrams (0 for a datagram of its own), or the receive's error
    // (no bytes).
    struct Receipt {
        std::size_t length = 0;
        std::size_t segment = 0;
        std::error_code error;
        asio::ip::udp::endpoint sender;
        std::size_t controlSize = 0;  // as the system filled it
    };

    // One datagram as delivered: where it lies in its area, or its error.
    struct Datagram {
        const char* bytes = nullptr;
        std::size_t size = 0;
        bool truncated = false;  // longer than maxDatagram(), or than its area kept
        std::error_code error;
        const asio::ip::udp::endpoint* sender = nullptr;
        const char* control = nullptr;  // its area's control data
        std::size_t controlSize = 0;
    };

    ReceiveBatch();

    // Datagrams of up to `maxDatagram` bytes are delivered whole, longer ones
    // cut to it; `trains` says whether the system may hand over trains.
    void setLayout(std::size_t maxDatagram, bool trains);
    std::size_t maxDatagram() const { return layout.maxDatagram; }
    bool takesTrains() const { return layout.trains; }

    // Filling, once every datagram has been delivered: clear() (which
    // applies a new layout), then fill the areas in order, each with its
    // receipt, and commit() each.
    void clear();
    std::size_t areaCount() const { return layout.areas; }
    std::size_t areaSize() const { return layout.areaSize; }
    char* area(std::size_t index) { return room.get() + index * layout.areaSize; }
    char* control(std::size_t index) { return controls[index].bytes; }
    Receipt& receipt(std::size_t index) { return receipts[index]; }
    std::size_t filled() const { return areas; }
    void commit() { ++areas; }
    // Commits the next area as holding one datagram of its own, `length`
    // bytes long as the system reported it, with `controlSize` bytes of
    // control data; or as a receive that failed, with no bytes.
    void commitDatagram(std::size_t length, std::size_t controlSize);
    void commitFailure(const std::error_code& error);
    // Whether the last fill took every area, so the socket may hold more.
    bool full() const { return areas == layout.areas; }

    // Room for the rest of a datagram longer than its area, for receives
    // that cannot cut a datagram themselves; never read. Allocated on first
    // use.
    char* spill();
    static constexpr std::size_t kSpillSize = 65536;

    // The oldest datagram not yet delivered, or null; valid until the next
    // call.
    const Datagram* next();
    bool pending() const { return deliveredAreas < areas; }

private:
    struct Layout {
        std::size_t maxDatagram = kDefaultDatagram;
        bool trains = false;
        std::size_t areaSize = 0;
        std::size_t areas = 0;
    };
    struct alignas(std::max_align_t) ControlRoom {
        char bytes[kControlSize];
    };

    void apply(const Layout& wanted);
    // The datagram at `offset` of the current area, `whole` bytes long (its
    // error is the caller's to set).
    void view(std::size_t offset, std::size_t whole);

    Layout layout;
    Layout wantedLayout;
    bool relayout = false;
    std::unique_ptr<char[]> room;
    std::vector<ControlRoom> controls;
    std::vector<Receipt> receipts;
    std::unique_ptr<char[]> spillRoom;
    std::size_t areas = 0;
    // Delivery: the area being delivered and, in a train, the offset of its
    // next datagram.
    std::size_t deliveredAreas = 0;
    std::size_t offset = 0;
    Datagram current;
};

// A datagram of its own, or the datagram at `offset` of a train, is whatever
// of it lies in the area, cut to the largest delivered whole. A train's
// datagrams are never more than its area holds, plus one error for a train
// that ran on past it: the area, not what the system reports, bounds them.
// Inline, since it runs for every datagram.
inline const ReceiveBatch::Datagram* ReceiveBatch::next() {
    if (!pending()) return nullptr;
    const Receipt& receipt = receipts[deliveredAreas];
    current.sender = &receipt.sender;
    current.control = controls[deliveredAreas].bytes;
    current.controlSize = std::min(receipt.controlSize, kControlSize);
    current.error = receipt.error;
    bool areaDone = true;
    if (receipt.error) {
        view(0, 0);
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

inline void ReceiveBatch::view(std::size_t at, std::size_t whole) {
    const std::size_t kept = std::min(whole, layout.areaSize - at);
    current.bytes = area(deliveredAreas) + at;
    current.size = std::min(kept, layout.maxDatagram);
    current.truncated = whole > current.size;
}

// Where the datagram arrived, from its control data; unknown where the
// platform does not say. Platform-specific.
Arrival readArrival(const ReceiveBatch::Datagram& datagram);
