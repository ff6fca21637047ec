// The error text from strerror_r, and the fork counter with the hook that advances it.
#include "common/os.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

namespace ipc_probe {
namespace {

// glibc declares the GNU strerror_r (returns the text) or the POSIX one (fills the
// buffer and returns an int) depending on feature macros; accept either.
[[maybe_unused]] const char* pick(char* result, const char*) { return result; }
[[maybe_unused]] const char* pick(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

// Relaxed: the hook runs in the child's only thread before fork() returns there, so every
// later read in the child sees it.
std::atomic<std::uint64_t> generation{0};

void count_fork() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::string os_error_text(int error_number) {
    char buffer[256];
    std::string text = pick(::strerror_r(error_number, buffer, sizeof buffer), buffer);
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

std::uint64_t fork_generation() noexcept {
    // Installed on first use, not at load. It fails only for want of memory; a child would
    // then take an inherited thread for its own.
    [[maybe_unused]] static const int hook = ::pthread_atfork(nullptr, nullptr, &count_fork);
    return generation.load(std::memory_order_relaxed);
}

}  // namespace ipc_probe
