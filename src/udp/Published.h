#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// A value that any thread may replace while readers use it without a lock.
// Each reader announces the value it uses in a slot of its own (a hazard
// pointer) and checks that it is still the current one; a replaced value is
// freed by a later replacement, or the destructor, once no slot names it.
// So readers never wait and writers never wait for readers: what stays
// unfreed is at most one value per reader. A slot belongs to one thread at a
// time.
template <typename T>
class Published {
public:
    explicit Published(std::size_t readers) : slots(new Slot[readers]), slotCount(readers) {}
    ~Published() {
        delete current.load();
        for (const T* value : retired) delete value;
    }
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    // The current value (null: none), held for `reader` until it reads again
    // or releases it. A reader that finds the value it already holds pays
    // one load.
    const T* read(std::size_t reader) {
        std::atomic<const T*>& held = slots[reader].held;
        const T* now = current.load(std::memory_order_acquire);
        if (now == held.load(std::memory_order_relaxed)) return now;
        for (;;) {
            held.store(now, std::memory_order_seq_cst);
            const T* again = current.load(std::memory_order_seq_cst);
            if (again == now) return now;
            now = again;
        }
    }
    void release(std::size_t reader) {
        slots[reader].held.store(nullptr, std::memory_order_release);
    }
    // The current value, to be read only by a writer (under its own
    // serialisation) or while no reader runs.
    const T* peek() const { return current.load(std::memory_order_acquire); }

    // Makes `value` current (any thread); frees what no reader holds.
    void publish(std::unique_ptr<const T> value) {
        std::lock_guard<std::mutex> lock(writing);
        const T* old = current.exchange(value.release(), std::memory_order_seq_cst);
        if (old != nullptr) retired.push_back(old);
        retired.erase(std::remove_if(retired.begin(), retired.end(),
                                     [this](const T* value) {
                                         if (held(value)) return false;
                                         delete value;
                                         return true;
                                     }),
                      retired.end());
    }

private:
    struct alignas(64) Slot {
        std::atomic<const T*> held{nullptr};
    };
    bool held(const T* value) const {
        for (std::size_t i = 0; i < slotCount; ++i) {
            if (slots[i].held.load(std::memory_order_seq_cst) == value) return true;
        }
        return false;
    }

    std::atomic<const T*> current{nullptr};
    const std::unique_ptr<Slot[]> slots;
    const std::size_t slotCount;
    std::mutex writing;  // writers only
    std::vector<const T*> retired;
};
