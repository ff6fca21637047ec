// What the operating system tells this process: the text of an error number, and how many
// forks lie between two points of its line of descent.
#pragma once

#include <cstdint>
#include <string>

namespace ipc_probe {

// libc's description, then " (os error N)": "Too many open files (os error 24)".
std::string os_error_text(int error_number);

// Tells a forked child from the process that made a thread (the child has only the thread
// that called fork, so a handle to any other names a thread it does not have): the forks
// between the first call and this one, so a value kept from before a fork differs from the
// child's. The first call installs the counting hook, so call it before starting anything
// a child must not inherit.
std::uint64_t fork_generation() noexcept;

}  // namespace ipc_probe
