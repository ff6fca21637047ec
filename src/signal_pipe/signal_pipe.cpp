// The per-signal table of write ends, the handler that writes to them, and registration.
#include "signal_pipe/signal_pipe.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <thread>

#include "common/fd.h"
#include "common/os.h"

namespace ipc_probe {

// Sequentially consistent throughout (the defaults below). Each side writes one variable
// and then reads the other: a handler counts itself, then loads the write end; a
// registration swaps the write end, then reads the count. Only one total order over all
// four rules out both reading the old values, which is the case where a handler writes
// to a descriptor that is being closed.
static_assert(std::atomic<int>::is_always_lock_free);  // the handler may touch nothing else

namespace detail {
namespace {

template <std::size_t... I>
constexpr std::array<std::atomic<int>, kSignalTableSize> unregistered(std::index_sequence<I...>) {
    return {{(static_cast<void>(I), -1)...}};
}

}  // namespace

constinit std::array<std::atomic<int>, kSignalTableSize> signal_write_fds =
    unregistered(std::make_index_sequence<kSignalTableSize>{});
constinit std::array<std::atomic<int>, kSignalTableSize> signal_handlers_in_flight{};

}  // namespace detail

extern "C" void signal_pipe_handler(int sig) {
    const int saved_errno = errno;  // the interrupted code may not have read it yet
    const auto entry = static_cast<unsigned>(sig);
    if (entry < kSignalTableSize) {
        std::atomic<int>& in_flight = detail::signal_handlers_in_flight[entry];
        in_flight.fetch_add(1);
        const int fd = detail::signal_write_fds[entry].load();
        const unsigned char byte = 0x01;
        if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
            // A full pipe drops this notification: the handler must never block.
        }
        in_flight.fetch_sub(1);
    }
    errno = saved_errno;
}

namespace {

SignalPipeError os_failure(std::string_view call, int error_number) {
    return {SignalPipeError::Kind::os,
            std::string(call) + " failed: " + os_error_text(error_number)};
}

// Closes a write end taken out of the table once no handler can still write to it: a
// handler that loaded it counted itself before the swap. The wait always ends, because
// handlers never wait and never block (the pipe is non-blocking), and one that interrupts
// this thread has counted itself out again before the loop resumes.
void retire(std::size_t entry, int write_fd) {
    if (write_fd < 0) return;
    while (detail::signal_handlers_in_flight[entry].load() > 0) std::this_thread::yield();
    Fd(write_fd).reset();
}

// A forked child has only the forking thread, so counts left by handlers that were running
// on other threads would never drain there.
void forget_handlers_in_flight() noexcept {
    for (std::atomic<int>& count : detail::signal_handlers_in_flight) count.store(0);
}

}  // namespace

std::expected<std::pair<int, int>, SignalPipeError> register_signal_pipe(int signal_num) {
    if (signal_num < 1 || static_cast<unsigned>(signal_num) >= kSignalTableSize) {
        return std::unexpected(SignalPipeError{
            SignalPipeError::Kind::invalid_signal,
            // Callers match on this text, "(must be 1..128)" included: keep it as it is.
            "Invalid signal number: " + std::to_string(signal_num) + " (must be 1..128)"});
    }
    // Installed on first use, not at load. It fails only for want of memory, and then only
    // a child forked while a handler was running could wait forever here.
    [[maybe_unused]] static const int fork_hook =
        ::pthread_atfork(nullptr, nullptr, &forget_handlers_in_flight);

    // Non-blocking, so a full pipe drops a notification instead of stopping the handler;
    // close-on-exec, so a program started from here does not keep the pipe open.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0) {
        return std::unexpected(os_failure("pipe", errno));
    }
    Fd read_end(ends[0]);
    const auto entry = static_cast<std::size_t>(signal_num);
    // The table owns the write end from here. The earlier registration's read end stays
    // open: its holder drains what is left and then sees end of file.
    retire(entry, detail::signal_write_fds[entry].exchange(ends[1]));

    struct sigaction action {};
    action.sa_handler = &signal_pipe_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // interrupted calls carry on as if nothing had come
    if (::sigaction(signal_num, &action, nullptr) < 0) {
        // The new write end is in the table already (a handler installed earlier for this
        // number may be writing to it), so it is retired like any replaced one: taken out
        // only if it is still there. A registration on another thread may have replaced
        // it meanwhile, and then that one closes it; its own write end must stay.
        const int error_number = errno;  // closing may overwrite it
        int installed = ends[1];
        if (detail::signal_write_fds[entry].compare_exchange_strong(installed, -1)) {
            retire(entry, ends[1]);
        }
        return std::unexpected(os_failure("sigaction", error_number));
    }
    return std::pair{read_end.release(), ends[1]};
}

}  // namespace ipc_probe
