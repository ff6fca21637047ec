// A flag that one thread raises and another waits for, with a deadline on the monotonic
// clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ipc_probe {

// A futex word rather than a mutex and condition variable: raising it takes no lock, a
// forked child may use it whatever another thread was doing at the fork, and the wait
// needs nothing newer from the C library than the system call (a condition variable's
// monotonic timed wait, pthread_cond_clockwait, came with glibc 2.30).
class StopFlag {
public:
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the futex's own clock

    bool raised() const noexcept { return word_.load() != 0; }
    // Sequentially consistent, like every access to the word: a raise is never missed.
    void lower() noexcept { word_.store(0); }
    // Sets the flag and wakes every thread waiting for it.
    void raise() noexcept;
    // Returns true once the flag is raised, false when `deadline` has passed first.
    // Signals and spurious wake-ups do not shorten the wait: the deadline is absolute.
    bool wait_until(Clock::time_point deadline) const noexcept;

private:
    std::atomic<std::uint32_t> word_{0};
    static_assert(sizeof(word_) == sizeof(std::uint32_t) && decltype(word_)::is_always_lock_free,
                  "the kernel waits on the word itself");
};

}  // namespace ipc_probe
