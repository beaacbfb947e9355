#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <system_error>

#include <asio/ip/udp.hpp>

#include "udp/Route.h"

// Datagrams taken from the socket in one go, delivered one at a time in
// arrival order. The bytes live in one slab of kSlots x kSlotSize bytes,
// allocated once; a slot that holds a receive error carries no bytes. Each
// slot also has room for the control data the system adds to a datagram
// (where it arrived, the drop count).
// Worker thread only.
class ReceiveBatch {
public:
    static constexpr std::size_t kSlots = 32;
    static constexpr std::size_t kSlotSize = 1024;

    static constexpr std::size_t kControlSize = 128;

    struct Slot {
        char* bytes = nullptr;
        char* control = nullptr;  // kControlSize bytes
        std::size_t controlSize = 0;  // as the system filled it
        std::size_t size = 0;
        bool truncated = false;  // the datagram was longer than the slot
        std::error_code error;
        asio::ip::udp::endpoint sender;
    };

    ReceiveBatch();

    // Filling, once every slot has been delivered: clear(), then fill the
    // slots from filled() on and count each with commit().
    void clear() { count = delivered = 0; }
    std::size_t filled() const { return count; }
    Slot& slot(std::size_t index) { return slots[index]; }
    void commit() { ++count; }
    // Whether the last fill took every slot, so the socket may hold more.
    bool full() const { return count == kSlots; }

    // Room for the rest of a datagram longer than its slot, for receives
    // that cannot cut a datagram themselves; never read. Allocated on first
    // use.
    char* spill();
    static constexpr std::size_t kSpillSize = 65536;

    // The oldest slot not yet delivered, or null.
    const Slot* next() { return delivered < count ? &slots[delivered++] : nullptr; }
    bool pending() const { return delivered < count; }

private:
    std::unique_ptr<char[]> slab;
    std::unique_ptr<char[]> spillRoom;
    struct alignas(std::max_align_t) ControlRoom {
        char bytes[kControlSize];
    };
    std::array<ControlRoom, kSlots> controls;
    std::array<Slot, kSlots> slots;
    std::size_t count = 0;
    std::size_t delivered = 0;
};

// Where the datagram in `slot` arrived, from its control data; unknown where
// the platform does not say. Platform-specific.
Arrival readArrival(const ReceiveBatch::Slot& slot);
