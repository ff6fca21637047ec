// The fork counter and the hook that advances it in every child.
#include "common/fork_generation.h"

#include <pthread.h>

#include <atomic>

namespace ipc_probe {
namespace {

// Relaxed: the hook runs in the child's only thread before fork() returns there, so every
// later read in the child sees it.
std::atomic<std::uint64_t> generation{0};

void count_fork() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() noexcept {
    // Installed on first use, not at load. It fails only for want of memory; a child would
    // then take an inherited thread for its own.
    [[maybe_unused]] static const int hook = ::pthread_atfork(nullptr, nullptr, &count_fork);
    return generation.load(std::memory_order_relaxed);
}

}  // namespace ipc_probe
