// Signal delivery as bytes on a pipe: each delivery of a registered signal writes 0x01 to
// that signal's pipe, so a caller can wait for signals with select/poll like any input.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <expected>
#include <string>
#include <utility>

namespace ipc_probe {

// Numbers 0..127; registration accepts 1..127.
inline constexpr std::size_t kSignalTableSize = 128;

struct SignalPipeError {
    enum class Kind { invalid_signal, os };
    Kind kind;
    std::string message;
};

// Makes a non-blocking, close-on-exec pipe and installs the handler for `signal_num` for
// good, replacing whatever handled it. Returns (read end, write end); the caller owns the
// read end, the table owns the write end. A later registration of the same number closes
// the earlier write end, so the earlier reader sees end of file once drained.
std::expected<std::pair<int, int>, SignalPipeError> register_signal_pipe(int signal_num);

// The installed handler: one byte to the signal's pipe, dropped if the pipe is full.
extern "C" void signal_pipe_handler(int sig);

namespace detail {

// Write end per signal number, -1 when none; constant-initialised, so valid before any
// code of ours has run, and never freed, so a handler can always read it.
extern constinit std::array<std::atomic<int>, kSignalTableSize> signal_write_fds;
// Handlers that may hold a write end they loaded: counted before the load, uncounted
// after the write. A replaced write end is closed only once its signal's count drains.
extern constinit std::array<std::atomic<int>, kSignalTableSize> signal_handlers_in_flight;

}  // namespace detail
}  // namespace ipc_probe
