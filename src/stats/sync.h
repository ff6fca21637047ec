// How a statistics object keeps its figures consistent between the threads that call it.
//
// Counts, totals and peaks use relaxed order everywhere, here and in their readers: each is
// one value read on its own, and none publishes other memory (the window has its lock), so
// a reader needs nothing ordered with it. Atomicity alone keeps every value whole and exact.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/mutex.h"

namespace ipc_probe {

// Any number of threads at once: the window under its own mutex, totals and peaks with
// atomic read-modify-writes outside it. The native core and the free-threaded interpreter.
struct ThreadSafe {
    using Lock = Mutex;
    static constexpr bool serial_writers = false;
};

// The caller already lets one call in at a time: the interpreter lock, which every call
// holds for its whole length. A lock of our own would only add two atomic operations to
// every record, more than the rest of the call. Readers are serialised with it too, so they
// read the window itself rather than totals published for lock-free readers. Every figure
// stays an atomic, so the object remains free of data races by the language's rules.
struct CallerSerialised {
    struct Lock {
        static constexpr bool serialised_by_caller = true;
        void lock() noexcept {}
        void unlock() noexcept {}
    };
    static constexpr bool serial_writers = true;
};

// Adds to a total that wraps modulo 2^64.
template <class Sync>
void add_to(std::atomic<std::uint64_t>& total, std::uint64_t amount) noexcept {
    if constexpr (Sync::serial_writers) {
        total.store(total.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    } else {
        total.fetch_add(amount, std::memory_order_relaxed);
    }
}

// Raises a peak only by a strictly greater value. With writers at once, a failed exchange
// refreshes `current`, so the loop ends as soon as the peak is already at least `value`.
template <class Sync, class T>
void raise_to(std::atomic<T>& peak, T value) noexcept {
    T current = peak.load(std::memory_order_relaxed);
    if constexpr (Sync::serial_writers) {
        if (value > current) peak.store(value, std::memory_order_relaxed);
    } else {
        while (value > current &&
               !peak.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
        }
    }
}

}  // namespace ipc_probe
