#pragma once

#include <cstddef>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/ip/udp.hpp>

#include "udp/Route.h"

// Datagrams taken from the socket in one go, delivered one at a time in
// arrival order. The system's receives fill areas, each with room for the
// control data it adds (where the datagram arrived, the drop count, a train's
// segment size). An area holds one datagram or, where the system coalesces, a
// train of datagrams of one size; slots describe the datagrams, one each. A
// slot that holds a receive error carries no bytes.
//
// The layout follows the largest datagram delivered whole and whether areas
// take trains: 32 areas of that size, but no more than 1 MiB of them; for
// trains, 16 areas of 64 KiB. A new layout takes effect at the next clear(),
// once every slot of the last fill has been delivered. Worker thread only (and
// a thread that runs while no worker does).
class ReceiveBatch {
public:
    static constexpr std::size_t kDefaultDatagram = 1024;
    static constexpr std::size_t kMaxAreas = 32;
    static constexpr std::size_t kMostRoom = 1024 * 1024;
    static constexpr std::size_t kTrainSize = 65536;  // a train's bytes at most
    static constexpr std::size_t kMaxSegments = 64;   // a train's datagrams at most
    static constexpr std::size_t kControlSize = 128;

    struct Slot {
        char* bytes = nullptr;
        std::size_t size = 0;
        bool truncated = false;  // the datagram was longer than maxDatagram()
        std::error_code error;
        asio::ip::udp::endpoint sender;
        const char* control = nullptr;  // its area's control data
        std::size_t controlSize = 0;    // as the system filled it
    };

    ReceiveBatch();

    // Datagrams of up to `maxDatagram` bytes are delivered whole, longer ones
    // cut to it; `trains` says whether the system may hand over trains.
    void setLayout(std::size_t maxDatagram, bool trains);
    std::size_t maxDatagram() const { return layout.maxDatagram; }
    bool takesTrains() const { return layout.trains; }

    // Filling, once every slot has been delivered: clear() (which applies a
    // new layout), then fill. Areas and slots both go in order: a datagram
    // of its own is commit()ed into the slot of its area, the segments of a
    // train are commitSegments()ed into slots from filled() on.
    void clear();
    std::size_t areaCount() const { return layout.areas; }
    std::size_t areaSize() const { return layout.areaSize; }
    char* area(std::size_t index) { return room.get() + index * layout.areaSize; }
    char* control(std::size_t index) { return controls[index].bytes; }
    std::size_t filled() const { return count; }
    Slot& slot(std::size_t index) { return slots[index]; }
    void commit() {
        ++count;
        ++areas;
    }
    void commitSegments(std::size_t segments) {
        count += segments;
        ++areas;
    }
    // Whether the last fill took every area, so the socket may hold more.
    bool full() const { return areas == layout.areas; }

    // Room for the rest of a datagram longer than its area, for receives
    // that cannot cut a datagram themselves; never read. Allocated on first
    // use.
    char* spill();
    static constexpr std::size_t kSpillSize = 65536;

    // The oldest slot not yet delivered, or null.
    const Slot* next() { return delivered < count ? &slots[delivered++] : nullptr; }
    bool pending() const { return delivered < count; }

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

    Layout layout;
    Layout wantedLayout;
    bool relayout = false;
    std::unique_ptr<char[]> room;
    std::vector<ControlRoom> controls;
    std::vector<Slot> slots;
    std::unique_ptr<char[]> spillRoom;
    std::size_t count = 0;
    std::size_t areas = 0;
    std::size_t delivered = 0;
};

// Where the datagram in `slot` arrived, from its control data; unknown where
// the platform does not say. Platform-specific.
Arrival readArrival(const ReceiveBatch::Slot& slot);
