// A mutex for tiny critical sections on hot paths.
#pragma once

#include <atomic>

namespace ipc_probe {

// Taking and releasing it when nobody waits costs one atomic exchange each, inline, with no
// library call; a thread that finds it held sleeps in the kernel (a futex, through
// std::atomic::wait) instead of spinning, because one holder may be copying a large window.
// 0 is free, 1 held, 2 held with possible waiters, so a release without waiters never
// enters the kernel.
class Mutex {
public:
    void lock() noexcept {
        int expected = 0;
        if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) [[likely]] {
            return;
        }
        lock_contended(expected);
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) == 2) [[unlikely]] state_.notify_one();
    }

private:
    void lock_contended(int seen) noexcept {
        // Mark the lock as waited for before sleeping, so the holder's release wakes us.
        if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
        while (seen != 0) {
            state_.wait(2, std::memory_order_relaxed);
            seen = state_.exchange(2, std::memory_order_acquire);
        }
    }

    std::atomic<int> state_{0};
};

}  // namespace ipc_probe
