#include "signal_pipe/signal_pipe.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"

namespace ipc_probe {
namespace {

using detail::signal_handlers_in_flight;
using detail::signal_write_fds;
using namespace std::chrono_literals;

struct Pipe {
    Fd read_end, write_end;
};

Pipe make_pipe() {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    return {Fd(ends[0]), Fd(ends[1])};
}

// The caller owns the read end; the table owns the write end.
struct Registration {
    Fd read_end;
    int write_fd = -1;
};

Registration registered(int signal_num) {
    auto ends = register_signal_pipe(signal_num);
    EXPECT_TRUE(ends) << ends.error().message;
    return ends ? Registration{Fd(ends->first), ends->second} : Registration{Fd(), -1};
}

// Takes a test's write end back out of the table, so that no later registration closes a
// number that has been reused meanwhile.
struct ClearEntryAtEnd {
    explicit ClearEntryAtEnd(int entry) : entry_(entry) {}
    ~ClearEntryAtEnd() { Fd(signal_write_fds[entry_].exchange(-1)).reset(); }
    int entry_;
};

// Everything the read end holds now; the write end may still be open.
std::string drain(int read_fd) {
    std::string bytes;
    char buffer[256];
    for (ssize_t n; (n = ::read(read_fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
    return bytes;
}

// Polls `done` for up to ten seconds: long enough for any loaded machine.
bool eventually(const std::function<bool()>& done) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
        if (done()) return true;
    }
    return done();
}

// Points a entry at a descriptor for a direct call of the handler, and clears it after.
struct EntryFor {
    EntryFor(int entry, int fd) : entry_(entry) { signal_write_fds[entry].store(fd); }
    ~EntryFor() { signal_write_fds[entry_].store(-1); }
    int entry_;
};

TEST(SignalPipeTable, StartsWithNoWriteEnds) {
    for (std::size_t sig = 0; sig < kSignalTableSize; ++sig) {
        EXPECT_EQ(signal_write_fds[sig].load(), -1) << sig;
        EXPECT_EQ(signal_handlers_in_flight[sig].load(), 0) << sig;
    }
}

TEST(SignalPipeHandler, WritesOneByteOnlyToTheEntrysPipe) {
    Pipe pipe = make_pipe();
    const EntryFor entry(100, pipe.write_end.get());
    for (int sig : {100, 100, 101, 0, 128, 1000, -1, -100}) signal_pipe_handler(sig);
    EXPECT_EQ(drain(pipe.read_end.get()), "\x01\x01");
    EXPECT_EQ(signal_handlers_in_flight[100].load(), 0);
}

TEST(SignalPipeHandler, LeavesErrnoAsItFoundIt) {
    Pipe full = make_pipe();
    const std::string chunk(65536, 'x');
    while (::write(full.write_end.get(), chunk.data(), chunk.size()) > 0) {
    }
    while (::write(full.write_end.get(), "x", 1) == 1) {  // the last page's tail
    }
    // A failing write (full pipe, stale descriptor) must not leak its errno either.
    for (int fd : {full.write_end.get(), 1'000'000, -1}) {
        SCOPED_TRACE(fd);
        const EntryFor entry(100, fd);
        errno = ENOTTY;
        signal_pipe_handler(100);
        EXPECT_EQ(errno, ENOTTY);
    }
}

TEST(RegisterSignalPipe, InstallsTheHandlerRestartingCallsWithNothingMasked) {
    const ClearEntryAtEnd clear(SIGUSR1);
    Registration pipe = registered(SIGUSR1);
    struct sigaction installed {};
    ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_handler, &signal_pipe_handler);
    EXPECT_TRUE(installed.sa_flags & SA_RESTART);
    EXPECT_EQ(installed.sa_flags & (SA_SIGINFO | SA_NODEFER | SA_RESETHAND | SA_ONSTACK), 0);
    EXPECT_TRUE(sigisemptyset(&installed.sa_mask));

    ASSERT_EQ(::raise(SIGUSR1), 0);
    ASSERT_EQ(::raise(SIGUSR1), 0);
    EXPECT_EQ(drain(pipe.read_end.get()), "\x01\x01");
}

TEST(RegisterSignalPipe, RefusedSignalLeavesTheEntryEmpty) {
    auto ends = register_signal_pipe(SIGKILL);
    ASSERT_FALSE(ends);
    EXPECT_EQ(ends.error().kind, SignalPipeError::Kind::os);
    EXPECT_EQ(signal_write_fds[SIGKILL].load(), -1);
}

// A handler that loaded the old write end (simulated by holding its entry's count) must be
// able to finish its write before the registration closes that descriptor, and a handler
// on the waiting thread itself must run to completion without ending the wait. No
// assertion may return between taking the count and giving it back: the join would hang.
TEST(RegisterSignalPipe, ClosesTheOldWriteEndOnlyAfterHandlersInFlightFinish) {
    const ClearEntryAtEnd clear(SIGUSR2);
    Registration first = registered(SIGUSR2);
    signal_handlers_in_flight[SIGUSR2].fetch_add(1);
    std::atomic<bool> done = false;
    Registration second;
    std::jthread registering([&] {
        second = registered(SIGUSR2);
        done = true;
    });
    const pthread_t waiter = registering.native_handle();
    EXPECT_TRUE(eventually([&] { return signal_write_fds[SIGUSR2].load() != first.write_fd; }));
    const int second_write_fd = signal_write_fds[SIGUSR2].load();

    EXPECT_EQ(::write(first.write_fd, "\x01", 1), 1);  // the pending handler's write
    EXPECT_EQ(::pthread_kill(waiter, SIGUSR2), 0);
    EXPECT_TRUE(eventually([&] {
        int queued = 0;
        return ::ioctl(second_write_fd, FIONREAD, &queued) == 0 && queued == 1;
    }));
    // The handler gives its count back just after its write, which the wait above may
    // have seen first (under emulation it often does).
    EXPECT_TRUE(eventually([&] { return signal_handlers_in_flight[SIGUSR2].load() == 1; }));
    EXPECT_FALSE(done);

    signal_handlers_in_flight[SIGUSR2].fetch_sub(1);
    registering.join();
    EXPECT_TRUE(done);
    char byte = 0;
    EXPECT_EQ(::read(first.read_end.get(), &byte, 1), 1);
    EXPECT_EQ(::read(first.read_end.get(), &byte, 1), 0);  // end of file: the write end is shut
    EXPECT_EQ(drain(second.read_end.get()), "\x01");
}

TEST(RegisterSignalPipe, ForkedChildIgnoresHandlersOfThreadsItDidNotInherit) {
    const ClearEntryAtEnd clear(SIGUSR2);
    Registration parent = registered(SIGUSR2);
    signal_handlers_in_flight[SIGUSR2].fetch_add(1);
    const pid_t child = ::fork();
    if (child == 0) _exit(register_signal_pipe(SIGUSR2) ? 0 : 1);
    signal_handlers_in_flight[SIGUSR2].fetch_sub(1);  // the child keeps its copy
    ASSERT_GT(child, 0);
    int status = 0;
    const bool exited = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; });
    if (!exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(exited) << "the child's registration waited for a thread it does not have";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A flood of SIGUSR1, handled on the registering thread and on the flooding one, while the
// registration is replaced again and again. Each replaced pipe is closed and its numbers are
// taken at once by a decoy pipe, so a handler writing through a stale write end would leave
// a byte in a decoy. ThreadSanitizer watches the table and the in-flight counts meanwhile.
TEST(RegisterSignalPipe, FloodDuringReregistrationReachesNoReusedDescriptor) {
    const ClearEntryAtEnd clear(SIGUSR1);
    Registration current = registered(SIGUSR1);
    const pthread_t registering_thread = ::pthread_self();
    std::atomic<bool> flooding = true;
    std::atomic<long> sent = 0;
    std::jthread flooder([&] {
        for (int i = 0; flooding.load() && i < 1'000'000; ++i) {
            ::pthread_kill(registering_thread, SIGUSR1);
            ::pthread_kill(::pthread_self(), SIGUSR1);
            sent.fetch_add(2);
        }
    });
    std::vector<Pipe> decoys;
    std::string stray;
    int rounds = 0;
    for (const auto give_up = std::chrono::steady_clock::now() + 20s;
         rounds < 300 && std::chrono::steady_clock::now() < give_up; ++rounds) {
        Registration next = registered(SIGUSR1);  // closes the current write end
        current = std::move(next);                // and this its read end
        decoys.push_back(make_pipe());            // the lowest free numbers: those two
        if (decoys.size() > 8) {
            stray += drain(decoys.front().read_end.get());
            decoys.erase(decoys.begin());
        }
    }
    flooding = false;
    flooder.join();
    for (const Pipe& decoy : decoys) stray += drain(decoy.read_end.get());
    EXPECT_EQ(stray, "") << "after " << rounds << " registrations and " << sent.load()
                         << " signals";
    EXPECT_GT(rounds, 10);

    drain(current.read_end.get());
    ASSERT_EQ(::raise(SIGUSR1), 0);
    std::string delivered;
    EXPECT_TRUE(eventually([&] { return !(delivered += drain(current.read_end.get())).empty(); }));
}

}  // namespace
}  // namespace ipc_probe
