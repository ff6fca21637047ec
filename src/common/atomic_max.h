// Raise an atomic to a value only when the value is strictly greater.
#pragma once

#include <atomic>

namespace ipc_probe {

// Relaxed, as every peak (stats/sync.h says why). A failed exchange refreshes `current`, so
// the loop ends as soon as the stored value is already at least `value`.
template <class T>
void atomic_max(std::atomic<T>& peak, T value) noexcept {
    T current = peak.load(std::memory_order_relaxed);
    while (value > current &&
           !peak.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}

}  // namespace ipc_probe
