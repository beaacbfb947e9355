#pragma once

#include <atomic>
#include <cstddef>
#include <new>

// Room for the one wake-up that application threads post to the worker at a
// time, so posting it allocates nothing. Should a second one be asked for
// while the room is taken, it comes from the heap instead.
struct WakeRoom {
    alignas(std::max_align_t) unsigned char bytes[256];
    std::atomic<bool> taken{false};
};

// The allocator of the worker's wake-up handlers: hands out the room when it
// fits and is free.
template <typename T>
class WakeAllocator {
public:
    using value_type = T;

    explicit WakeAllocator(WakeRoom& room) noexcept : room(&room) {}
    template <typename U>
    WakeAllocator(const WakeAllocator<U>& other) noexcept : room(other.room) {}

    T* allocate(std::size_t n) {
        if (n * sizeof(T) <= sizeof room->bytes && alignof(T) <= alignof(std::max_align_t) &&
            !room->taken.exchange(true, std::memory_order_acquire)) {
            return reinterpret_cast<T*>(room->bytes);
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }

    void deallocate(T* memory, std::size_t) noexcept {
        if (reinterpret_cast<unsigned char*>(memory) == room->bytes) {
            room->taken.store(false, std::memory_order_release);
        } else {
            ::operator delete(memory);
        }
    }

    template <typename U>
    bool operator==(const WakeAllocator<U>& other) const noexcept {
        return room == other.room;
    }
    template <typename U>
    bool operator!=(const WakeAllocator<U>& other) const noexcept {
        return room != other.room;
    }

private:
    template <typename U>
    friend class WakeAllocator;
    WakeRoom* room;
};
