#include "sampler/sampler.h"

#include "probe/proc_self.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace ipc_probe {
namespace {

using namespace std::chrono_literals;

// A scripted probe: the readings of one run, then the last reading forever. Guarded: a
// test may play a new script while a sampling thread is still probing the old one.
std::mutex script_mutex;
std::array<std::optional<std::uint64_t>, 6> script;
std::atomic<std::size_t> probes{0};

std::optional<std::uint64_t> scripted_probe() {
    const std::lock_guard lock(script_mutex);
    const std::size_t n = probes.fetch_add(1);
    return script[std::min(n, script.size() - 1)];
}

void play(std::array<std::optional<std::uint64_t>, 6> readings) {
    const std::lock_guard lock(script_mutex);
    script = readings;
    probes = 0;
}

// Waits (boundedly) until the thread has taken `count` samples.
void await_probes(std::size_t count) {
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    while (probes.load() < count && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(probes.load(), count);
}

BackgroundSampler make_sampler(RssProbe probe = &scripted_probe) {
    return BackgroundSampler(BackgroundSampler::prepare().value(), probe);
}

TEST(BackgroundSampler, KeepsTheHighestReadingNotTheLast) {
    play({10, 50, std::nullopt, 30, 20, 20});
    BackgroundSampler sampler = make_sampler();
    ASSERT_TRUE(sampler.start(0));  // 0 counts as 1 ms
    await_probes(6);
    auto peak = sampler.stop();
    ASSERT_TRUE(peak);
    EXPECT_EQ(*peak, 50u);
    // A second stop neither blocks nor changes the answer.
    EXPECT_EQ(sampler.stop().value(), 50u);
}

TEST(BackgroundSampler, RestartForgetsThePreviousPeak) {
    play({900, 900, 900, 900, 900, 900});
    BackgroundSampler sampler = make_sampler();
    ASSERT_TRUE(sampler.start(1));
    await_probes(2);
    // The first thread probes on until the restart joins it and may take any of the new
    // readings, so they are all alike; only the second thread probes after the restart.
    play({5, 5, 5, 5, 5, 5});
    ASSERT_TRUE(sampler.start(1));  // joins the first thread, then starts afresh
    probes = 0;
    await_probes(2);
    EXPECT_EQ(sampler.stop().value(), 5u);
}

// The thread asks the kernel not to defer its wake-ups: at 1 ms the default 50 us slack
// would stretch every interval by up to 5%. The probe runs on that thread, so it reads it.
std::atomic<std::uint64_t> probed_slack_ns{0};
std::optional<std::uint64_t> slack_probe() {
    probed_slack_ns = static_cast<std::uint64_t>(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    probes.fetch_add(1);
    return 1;
}

TEST(BackgroundSampler, SamplesWithTheLeastTimerSlack) {
    probes = 0;
    BackgroundSampler sampler = make_sampler(&slack_probe);
    ASSERT_TRUE(sampler.start(1));
    await_probes(1);
    ASSERT_TRUE(sampler.stop());
    EXPECT_EQ(probed_slack_ns.load(), 1u);
    EXPECT_NE(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1) << "only the sampling thread changes";
}

sigset_t probed_mask;

std::optional<std::uint64_t> mask_probe() {
    ::pthread_sigmask(SIG_SETMASK, nullptr, &probed_mask);
    probes.fetch_add(1);
    return 1;
}

// A process-directed signal goes to any thread that does not block it: the sampling thread
// must block them all, or it takes the signals the application blocked to wait for them.
TEST(BackgroundSampler, TheSamplingThreadBlocksEverySignalAndTheCallerKeepsItsMask) {
    // What "every signal" blocks here: not SIGKILL and SIGSTOP, nor what glibc keeps for
    // itself (32, 33), nor what a user-mode emulator keeps (qemu: the top real-time ones).
    sigset_t all, blockable, callers, original, after;
    ::sigfillset(&all);
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &all, &original), 0);
    ::pthread_sigmask(SIG_SETMASK, nullptr, &blockable);
    ::sigemptyset(&callers);
    ::sigaddset(&callers, SIGUSR2);
    ::pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    probes = 0;
    BackgroundSampler sampler = make_sampler(&mask_probe);
    ASSERT_TRUE(sampler.start(1));
    ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
    await_probes(1);
    ASSERT_TRUE(sampler.stop());  // the join orders the probe's write before these reads
    ::pthread_sigmask(SIG_SETMASK, &original, nullptr);
    for (const int signal : {SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2, SIGRTMIN}) {
        ASSERT_EQ(::sigismember(&blockable, signal), 1) << signal;
    }
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        EXPECT_EQ(::sigismember(&probed_mask, signal), ::sigismember(&blockable, signal))
            << "sampling thread, signal " << signal;
        EXPECT_EQ(::sigismember(&after, signal), signal == SIGUSR2 ? 1 : 0) << "caller, signal " << signal;
    }
}

TEST(BackgroundSampler, FailedProbesLeaveThePeakAtZero) {
    play({std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    BackgroundSampler sampler = make_sampler();
    ASSERT_TRUE(sampler.start(1));
    await_probes(3);
    EXPECT_EQ(sampler.stop().value(), 0u);
}

TEST(BackgroundSampler, StopDoesNotWaitOutALongInterval) {
    for (const std::uint64_t interval_ms : {std::uint64_t{3'600'000}, std::uint64_t{~0ull}}) {
        SCOPED_TRACE(interval_ms);
        play({42, 42, 42, 42, 42, 42});
        BackgroundSampler sampler = make_sampler();
        ASSERT_TRUE(sampler.start(interval_ms));
        await_probes(1);  // now it is inside the wait
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(sampler.stop().value(), 42u);
        EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
        EXPECT_EQ(probes.load(), 1u) << "no sample may follow the stop request";
    }
}

TEST(BackgroundSampler, DestructionStopsAndJoinsTheThread) {
    play({1, 1, 1, 1, 1, 1});
    {
        BackgroundSampler sampler = make_sampler();
        ASSERT_TRUE(sampler.start(3'600'000));
        await_probes(1);
    }
    const std::size_t after_destruction = probes.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probes.load(), after_destruction);
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// Takes no lock: a forked child may use it whatever the parent's threads held at the fork.
std::optional<std::uint64_t> constant_probe() {
    probes.fetch_add(1);
    return 77;
}

TEST(BackgroundSampler, AForkedChildHasItStoppedWithThePeakOfBeforeTheFork) {
    probes = 0;
    BackgroundSampler sampler = make_sampler(&constant_probe);
    ASSERT_TRUE(sampler.start(1));
    await_probes(2);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(20);  // a child that waits for the thread it lacks dies instead of hanging
        bool sound = sampler.stop().value_or(0) == 77;
        // ThreadSanitizer refuses to start threads after a multi-threaded fork.
        if (kThreadSanitizer) std::_Exit(sound ? 0 : 1);
        probes = 0;
        sound = sound && sampler.start(1).has_value();  // a thread of the child's own
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (probes.load() == 0 && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(1ms);
        }
        sound = sound && probes.load() > 0 && sampler.stop().value_or(0) == 77;
        std::_Exit(sound ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(sampler.stop().value(), 77u);  // the parent's own thread, joined as usual
}

TEST(BackgroundSampler, ProbesTheRealProcess) {
    BackgroundSampler sampler = make_sampler(&probe_rss);
    // The first sample comes as soon as the thread runs, which on a loaded machine or under
    // emulation can take longer than a run: each run that ends without one is tried again.
    std::uint64_t peak = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         peak == 0 && std::chrono::steady_clock::now() < deadline;) {
        ASSERT_TRUE(sampler.start(1));
        std::this_thread::sleep_for(20ms);
        peak = sampler.stop().value();
    }
    EXPECT_GT(peak, 0u);
}

std::set<std::string> tasks_in_process() {
    std::set<std::string> tasks;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        tasks.insert(task.path().filename());
    }
    return tasks;
}

// The probe runs on the sampling thread: it tells which task that is.
std::atomic<pid_t> probing_task{0};
std::optional<std::uint64_t> task_probe() {
    probing_task = ::gettid();
    probes.fetch_add(1);
    return 1;
}

TEST(BackgroundSampler, TheSamplingThreadCarriesItsName) {
    probes = 0;
    BackgroundSampler sampler = make_sampler(&task_probe);
    ASSERT_TRUE(sampler.start(3'600'000));
    await_probes(1);  // the thread names itself before its first probe
    std::string name;
    std::getline(std::ifstream("/proc/self/task/" + std::to_string(probing_task) + "/comm"), name);
    EXPECT_EQ(name, kSamplerThreadName);
    ASSERT_TRUE(sampler.stop());
}

// Starts, restarts, stops and destructions in a seeded random order, with intervals that
// leave threads mid-probe or mid-wait when told to stop: every thread must be joined, and
// the cells handed from one run to the next (ThreadSanitizer watches that hand-over).
TEST(BackgroundSampler, ChurnLeavesNoThreadBehind) {
    play({1, 2, 3, 4, 5, 6});
    // A first run, so that a sanitizer runtime's own helper thread exists before the count.
    // Its joined thread may still be listed now; it may leave, but nothing may be added.
    ASSERT_TRUE(make_sampler().start(0));
    const std::set<std::string> before = tasks_in_process();
    std::mt19937 rng(5);
    {
        std::array<std::optional<BackgroundSampler>, 3> samplers;
        const auto renew = [](std::optional<BackgroundSampler>& sampler) {
            sampler.emplace(BackgroundSampler::prepare().value(), &scripted_probe);
        };
        for (auto& sampler : samplers) renew(sampler);
        for (int step = 0; step < 300; ++step) {
            std::optional<BackgroundSampler>& sampler = samplers[rng() % samplers.size()];
            switch (rng() % 4) {
                case 0:
                case 1: ASSERT_TRUE(sampler->start(rng() % 2 == 0 ? 0 : 3'600'000)); break;
                case 2: ASSERT_TRUE(sampler->stop()); break;
                default: renew(sampler);  // the old one is destroyed, perhaps running
            }
        }
    }
    // A joined thread can linger in the listing for a moment after the join returns.
    const auto only_those_before = [&before] {
        return std::ranges::includes(before, tasks_in_process());
    };
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!only_those_before() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(only_those_before()) << tasks_in_process().size() << " threads now, "
                                      << before.size() << " before";
}

// Runs in a child process: with no address space left for a thread stack, creation fails.
[[noreturn]] void start_without_address_space() {
    play({3, 3, 3, 3, 3, 3});
    BackgroundSampler sampler = make_sampler();
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = take_snapshot().value().vms_bytes + (1u << 20);  // no room for a stack
    setrlimit(RLIMIT_AS, &limit);
    auto started = sampler.start(1);
    const bool refused = !started &&
                         started.error().message.starts_with("failed to spawn thread: ") &&
                         started.error().message.find("(os error ") != std::string::npos;
    std::_Exit(refused && sampler.stop().value() == 0 ? 0 : 1);
}

// Whether an allocation beyond RLIMIT_AS fails here. A user-mode emulator (qemu-user)
// accepts the limit but leaves it unapplied, since it needs the address space itself; no
// thread creation fails for lack of room there. Tried in a child, which the limit cripples.
bool address_space_limit_is_enforced() {
    const std::uint64_t mapped = take_snapshot().value().vms_bytes;
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = mapped + (64u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(1);
        void* beyond = mmap(nullptr, 256u << 20, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::_Exit(beyond == MAP_FAILED ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(BackgroundSamplerDeathTest, ThreadCreationFailureIsAnInternalError) {
    if (!address_space_limit_is_enforced()) GTEST_SKIP() << "RLIMIT_AS is not enforced here";
    EXPECT_EXIT(start_without_address_space(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ipc_probe
