// Statistics of one traced socket channel: byte totals, send latency window, peak fill.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "stats/channel.h"
#include "stats/latency_ring.h"
#include "stats/sync.h"

namespace ipc_probe {

// Every operation, recording ones included, is safe from any number of threads at once,
// like IpcStats's: the send window is under its own lock; byte totals and the peak are
// atomics outside it.
template <class Sync>
class BasicSocketStats : public Channel {
public:
    explicit BasicSocketStats(ChannelParts parts) noexcept
        : name_(std::move(parts.name)), send_window_(std::move(parts.ring)) {}

    // The bytes count before the lock is taken, so a reader may see a send's bytes before
    // its latency. Both recording calls are defined here to inline into their callers.
    void record_send(std::uint64_t bytes, std::uint64_t latency_us) noexcept {
        add_to<Sync>(bytes_sent_, bytes);
        send_window_.record(latency_us);
    }
    // Never takes the lock.
    void record_recv(std::uint64_t bytes, std::uint32_t buffer_used_pct) noexcept {
        add_to<Sync>(bytes_recv_, bytes);
        raise_to<Sync>(peak_recv_buffer_pct_, buffer_used_pct);
    }

    std::uint64_t bytes_sent() const noexcept { return bytes_sent_.load(std::memory_order_relaxed); }
    std::uint64_t bytes_recv() const noexcept { return bytes_recv_.load(std::memory_order_relaxed); }
    std::uint32_t peak_recv_buffer_pct() const noexcept {
        return peak_recv_buffer_pct_.load(std::memory_order_relaxed);
    }
    double avg_send_latency_us() const noexcept { return send_window_.mean(); }
    std::string_view name() const noexcept { return name_; }
    // "s0: sent 150B recv 320B | send avg 50.0µs | recv buf peak 80%".
    std::string report() const;

private:
    const std::string name_;
    std::atomic<std::uint64_t> bytes_sent_{0};
    std::atomic<std::uint64_t> bytes_recv_{0};
    LockedRing<typename Sync::Lock> send_window_;
    std::atomic<std::uint32_t> peak_recv_buffer_pct_{0};
};

using SocketStats = BasicSocketStats<ThreadSafe>;
extern template class BasicSocketStats<ThreadSafe>;
extern template class BasicSocketStats<CallerSerialised>;

}  // namespace ipc_probe
