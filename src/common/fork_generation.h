// Tells a forked child from the process that made a thread: the child has only the
// thread that called fork, so handles to any other thread name threads it does not have.
#pragma once

#include <cstdint>

namespace ipc_probe {

// Counts the forks between the first call and this one in this process's line of descent:
// a value kept from before a fork differs from the child's. The first call installs the
// counting hook, so call it before starting anything a child must not inherit.
std::uint64_t fork_generation() noexcept;

}  // namespace ipc_probe
