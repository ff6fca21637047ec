// The futex calls behind StopFlag.
#include "common/stop_flag.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace ipc_probe {
namespace {

// The word's address as the kernel takes it: a std::atomic<uint32_t> is the bare word.
std::uint32_t* address_of(const std::atomic<std::uint32_t>& word) noexcept {
    return reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&word));
}

}  // namespace

void StopFlag::raise() noexcept {
    word_.store(1);
    ::syscall(SYS_futex, address_of(word_), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr,
              nullptr, 0);
}

bool StopFlag::wait_until(Clock::time_point deadline) const noexcept {
    const auto since_epoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const timespec at{.tv_sec = static_cast<time_t>(seconds.count()),
                      .tv_nsec = static_cast<long>((since_epoch - seconds).count())};
    // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC, so a retry after EINTR
    // waits only for what remains. The kernel sleeps only while the word is still 0, which
    // it checks atomically with queueing the waiter: a raise in between is never lost.
    while (!raised()) {
        if (::syscall(SYS_futex, address_of(word_), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0,
                      &at, nullptr, FUTEX_BITSET_MATCH_ANY) != 0 &&
            errno == ETIMEDOUT) {
            return raised();
        }
    }
    return true;
}

}  // namespace ipc_probe
