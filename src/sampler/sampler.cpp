// The sampling thread and its start/stop protocol.
#include "sampler/sampler.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "common/os.h"
#include "probe/proc_self.h"
#include "stats/sync.h"

namespace ipc_probe {
namespace {

// The kind of an operating-system error, named as callers of thread APIs know them.
const char* error_kind(int error_number) noexcept {
    switch (error_number) {
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        case EPERM: return "PermissionDenied";
        case EINVAL: return "InvalidInput";
        case EDEADLK: return "Deadlock";
        case ESRCH: return "NotFound";
        default: return "Uncategorized";
    }
}

// now + interval, saturating: an interval of 2^64 - 1 ms must mean "a very long time",
// not a deadline that wrapped into the past.
std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds interval) noexcept {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return interval >= room ? Clock::time_point::max()
                            : now + std::chrono::duration_cast<Clock::duration>(interval);
}

// Cells that a forked child inherited from a running thread. They can never be freed: that
// thread, which the child lacks, held a reference to them that nothing can release. So
// they are kept, owned by this list for the rest of the process, rather than dropped where
// nothing can find them.
std::atomic<SamplerCells*> inherited_cells{nullptr};

void keep_for_good(SamplerCells* cells) noexcept {
    cells->next_inherited = inherited_cells.load(std::memory_order_relaxed);
    while (!inherited_cells.compare_exchange_weak(cells->next_inherited, cells,
                                                  std::memory_order_relaxed)) {
    }
}

// Blocks every signal in the calling thread while it lives, then gives the thread its mask
// back. A thread starts with its creator's mask, so one created meanwhile takes no
// process-directed signal at all: the kernel hands each to a thread of the application,
// which may have blocked it to collect it with sigwait or signalfd, and never to ours.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() noexcept {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
    ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

}  // namespace

std::optional<std::uint64_t> probe_rss() noexcept {
    // The resident size alone: a whole snapshot would also format the status file and
    // count the descriptors, on every tick, for figures the peak never uses.
    try {
        if (auto rss_bytes = read_rss_bytes()) return *rss_bytes;
    } catch (...) {
        // Out of memory while probing: this sample is lost, like any failed probe.
    }
    return std::nullopt;
}

void BackgroundSampler::sample_loop(std::shared_ptr<SamplerCells> cells, RssProbe probe,
                                    std::chrono::milliseconds interval) noexcept {
    // The kernel may defer a timed wake-up by this thread's timer slack, 50 us by default,
    // to batch it with others: 5% of a 1 ms interval, every time. Ask for the least; if
    // refused, the waits are only that much longer.
    static_cast<void>(::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL));
    // A name of its own, so that top -H, ps -L and /proc/PID/task/*/comm tell this thread
    // from the interpreter's (the kernel keeps 15 bytes). The name is only a label: if the
    // system refuses it, the thread keeps the one inherited from its creator and samples
    // all the same.
    static_cast<void>(::pthread_setname_np(::pthread_self(), kSamplerThreadName));
    while (!cells->stop_requested.raised()) {
        if (const std::optional<std::uint64_t> rss = probe()) {
            raise_to<ThreadSafe>(cells->peak_rss_bytes, *rss);
        }
        if (cells->stop_requested.wait_until(deadline_after(interval))) return;
    }
}

std::expected<void, InternalError> BackgroundSampler::start(std::uint64_t interval_ms) {
    if (auto joined = join_worker(); !joined) return joined;
    if (cells_inherited_) {
        cells_ = std::make_shared<SamplerCells>();
        cells_inherited_ = false;
    }
    cells_->stop_requested.lower();
    cells_->peak_rss_bytes.store(0);
    const auto clamped = std::min<std::uint64_t>(std::max<std::uint64_t>(interval_ms, 1),
                                                 std::chrono::milliseconds::max().count());
    const std::chrono::milliseconds interval(static_cast<std::chrono::milliseconds::rep>(clamped));
    // Read before the thread exists, which also installs the fork hook in time.
    worker_fork_generation_ = fork_generation();
    try {
        const AllSignalsBlocked for_the_new_thread;
        worker_.emplace(&BackgroundSampler::sample_loop, cells_, probe_, interval);
    } catch (const std::system_error& error) {
        const int code = error.code().value();
        return std::unexpected(InternalError{std::string("failed to spawn thread: ") +
                                             os_error_text(code) + " [" + error_kind(code) + "]"});
    }
    return {};
}

std::expected<std::uint64_t, InternalError> BackgroundSampler::stop() {
    if (auto joined = join_worker(); !joined) return std::unexpected(std::move(joined).error());
    // The join ordered every update the thread made before this read.
    return cells_->peak_rss_bytes.load();
}

std::expected<void, InternalError> BackgroundSampler::shutdown() noexcept { return join_worker(); }

std::expected<void, InternalError> BackgroundSampler::join_worker() noexcept {
    if (worker_ && worker_fork_generation_ != fork_generation()) forget_inherited_worker();
    if (cells_inherited_) return {};  // no thread of ours uses them
    cells_->stop_requested.raise();
    if (!worker_) return {};
    std::thread worker = std::move(*worker_);
    worker_.reset();
    try {
        worker.join();
    } catch (const std::system_error& error) {
        // Nothing else can be done with a thread the system refuses to join.
        worker.detach();
        try {
            return std::unexpected(
                InternalError{"failed to join thread: " + os_error_text(error.code().value())});
        } catch (...) {
            return std::unexpected(InternalError{});
        }
    }
    return {};
}

void BackgroundSampler::forget_inherited_worker() noexcept {
    // Joining would wait for ever for a thread that was never in this process, and
    // detaching would write to its descriptor, whose stack the child's C library has taken
    // back for reuse. So the handle is dropped untouched: moved into storage whose
    // destructor never runs. Its reference to the cells is never released either.
    union Untouched {
        explicit Untouched(std::thread&& handle) noexcept : thread(std::move(handle)) {}
        ~Untouched() {}
        std::thread thread;
    };
    [[maybe_unused]] const Untouched dropped(std::move(*worker_));
    worker_.reset();
    keep_for_good(cells_.get());
    cells_inherited_ = true;
}

}  // namespace ipc_probe
