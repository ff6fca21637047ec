// A native thread that samples the resident set size at a fixed interval and keeps the peak.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <thread>

#include "common/internal_error.h"
#include "common/stop_flag.h"

namespace ipc_probe {

// What the sampling thread calls itself, as the system lists it; at most 15 bytes.
inline constexpr char kSamplerThreadName[] = "quillmere-rss";
static_assert(sizeof(kSamplerThreadName) <= 16, "the kernel keeps 15 bytes and the NUL");

// One resident-set reading, or nothing when the probe failed (a failure is never reported).
using RssProbe = std::optional<std::uint64_t> (*)();
std::optional<std::uint64_t> probe_rss() noexcept;

// Shared between a sampler and its sampling thread, which holds its own reference for its
// whole life.
struct SamplerCells {
    // Raising it also ends the thread's wait between samples at once.
    StopFlag stop_requested;
    std::atomic<std::uint64_t> peak_rss_bytes{0};
    // Links cells that a forked child inherited from a running thread (see sampler.cpp).
    SamplerCells* next_inherited = nullptr;
};

struct SamplerParts {
    std::shared_ptr<SamplerCells> cells;
};

// Not thread-safe by itself: its owner serialises start, stop and destruction (the Python
// layer holds the exclusive borrow for each). The sampling thread never touches anything
// but the shared cells, and it is always joined before the sampler goes away, except in a
// forked child: there the thread never existed, so the sampler counts as stopped with the
// peak it had at the fork, and nothing waits for the missing thread.
class BackgroundSampler {
public:
    // The allocation that can fail, done before the sampler exists; it throws
    // std::bad_alloc rather than returning an error.
    static std::expected<SamplerParts, InternalError> prepare() {
        return SamplerParts{std::make_shared<SamplerCells>()};
    }
    explicit BackgroundSampler(SamplerParts parts, RssProbe probe = &probe_rss) noexcept
        : cells_(std::move(parts.cells)), probe_(probe) {}
    BackgroundSampler(const BackgroundSampler&) = delete;
    BackgroundSampler& operator=(const BackgroundSampler&) = delete;
    ~BackgroundSampler() { static_cast<void>(shutdown()); }

    // Stops a running thread first, resets the peak, then samples every `interval_ms`
    // (0 counts as 1): the first sample at once, then one interval after each probe ends.
    std::expected<void, InternalError> start(std::uint64_t interval_ms);
    // Stops and joins the thread, if any, and returns the peak of the last run. A stop ends
    // the thread's wait at once: it never waits out the interval.
    std::expected<std::uint64_t, InternalError> stop();
    // stop() without the result, for destruction.
    std::expected<void, InternalError> shutdown() noexcept;

private:
    static void sample_loop(std::shared_ptr<SamplerCells> cells, RssProbe probe,
                            std::chrono::milliseconds interval) noexcept;
    std::expected<void, InternalError> join_worker() noexcept;
    void forget_inherited_worker() noexcept;

    std::shared_ptr<SamplerCells> cells_;
    std::optional<std::thread> worker_;
    std::uint64_t worker_fork_generation_ = 0;
    // The cells came through a fork from a running thread, whose reference to them the
    // child can never release: leave them be, and take fresh cells at the next start.
    bool cells_inherited_ = false;
    RssProbe probe_;
};

}  // namespace ipc_probe
