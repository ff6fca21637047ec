// The native core, linked as the extension module is, run on an old glibc by loader.c:
// each check goes through a call that the module's glibc forwards redirect or that the
// system's libgcc_s serves.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "probe/proc_self.h"
#include "sampler/sampler.h"

namespace {

using namespace std::chrono_literals;

int passed = 0;
int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    (ok ? passed : failures) += 1;
}

[[gnu::noinline]] void throw_through_frames(int depth) {
    if (depth == 0) throw std::runtime_error("unwound");
    throw_through_frames(depth - 1);
}

std::atomic<int> probes{0};
std::optional<std::uint64_t> counting_probe() {
    probes.fetch_add(1);
    return ipc_probe::probe_rss();
}

void check_sampler() {
    ipc_probe::BackgroundSampler sampler(ipc_probe::BackgroundSampler::prepare().value(),
                                         &counting_probe);
    check(sampler.start(3'600'000).has_value(), "a sampler starts a thread (pthread_create)");
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (probes.load() == 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(1ms);
    }
    // An hour's wait, ended by the stop request alone.
    const auto before = std::chrono::steady_clock::now();
    const auto peak = sampler.stop();
    const auto waited = std::chrono::steady_clock::now() - before;
    check(peak && *peak > 0, "the sampler's first sample is a resident size");
    check(waited < 30s, "stop wakes a sampler in an hour-long interval at once");
}

}  // namespace

// Returns the number of failed checks, and stores the number of passed ones.
extern "C" [[gnu::visibility("default")]] int quillmere_floor_probe(int* passed_checks) {
    try {
        throw_through_frames(3);
        check(false, "an exception is caught");
    } catch (const std::runtime_error& error) {
        check(std::string(error.what()) == "unwound", "an exception is caught (the unwinder)");
    }

    const auto snapshot = ipc_probe::take_snapshot();
    check(snapshot && snapshot->rss_bytes > 0 && snapshot->open_fds >= 3,
          "a snapshot reads status and counts descriptors (fstat)");
    const auto targets = ipc_probe::list_fd_targets();
    check(targets && snapshot && targets->size() == snapshot->open_fds,
          "the descriptor listing agrees with the count (getdents64)");

    check_sampler();

    // The headers name the C23 strtoul, which glibc 2.38 brought.
    check(std::strtoul("0b101", nullptr, 0) == 5 && std::strtoul(" -0B1", nullptr, 2) == ULONG_MAX &&
              std::strtoul("0x1f", nullptr, 0) == 31 && std::strtoul("0b2", nullptr, 0) == 0,
          "strtoul reads C23 binary numbers");

    char name[16] = {};
    check(::pthread_setname_np(::pthread_self(), "floor-probe") == 0 &&
              ::pthread_getname_np(::pthread_self(), name, sizeof name) == 0 &&
              std::string(name) == "floor-probe",
          "a thread is named and its name read back");
    // The process's own name again, for whatever runs after.
    ::pthread_setname_np(::pthread_self(), "loader");
    *passed_checks = passed;
    return failures;
}
