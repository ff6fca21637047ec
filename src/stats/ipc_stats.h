// Statistics of one traced inter-process channel: latency window, message count, peak depth.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "stats/channel.h"
#include "stats/latency_ring.h"
#include "stats/sync.h"

namespace ipc_probe {

// Every operation, recording ones included, is safe from any number of threads at once:
// under ThreadSafe the window has its own mutex and the counters are atomics outside it;
// under CallerSerialised the caller lets one call in at a time.
template <class Sync>
class BasicIpcStats : public Channel {
public:
    explicit BasicIpcStats(ChannelParts parts) noexcept
        : name_(std::move(parts.name)), window_(std::move(parts.ring)) {}

    // The recording calls are defined here so that they inline into their callers: with
    // frame pointers kept, every native frame on a call's way costs a few instructions.
    void record_latency_us(std::uint64_t us) noexcept {
        // Every writer holds the window's lock, so a load and a store cannot lose a count,
        // and cost less than an atomic read-modify-write; readers still see whole values.
        window_.record(us, [this] { add_to<CallerSerialised>(total_messages_, 1); });
    }
    void record_depth(std::uint32_t depth) noexcept { raise_to<Sync>(peak_depth_, depth); }
    double avg_latency_us() const noexcept { return window_.mean(); }
    double p99_latency_us() const { return window_.p99(); }
    std::uint64_t total_messages() const noexcept {
        return total_messages_.load(std::memory_order_relaxed);
    }
    std::uint32_t peak_depth() const noexcept { return peak_depth_.load(std::memory_order_relaxed); }
    std::string_view name() const noexcept { return name_; }
    // "ctl: 3 msgs | avg 200.0µs | p99 300.0µs | peak depth 7". Not a snapshot: the figures
    // are read one after another.
    std::string report() const;

private:
    const std::string name_;
    LockedRing<typename Sync::Lock> window_;
    std::atomic<std::uint64_t> total_messages_{0};
    std::atomic<std::uint32_t> peak_depth_{0};
};

using IpcStats = BasicIpcStats<ThreadSafe>;
extern template class BasicIpcStats<ThreadSafe>;
extern template class BasicIpcStats<CallerSerialised>;

}  // namespace ipc_probe
