// The bounded first-in-first-out window of latency samples behind IpcStats and SocketStats.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>  // std::lock_guard
#include <span>

#include "common/internal_error.h"
#include "common/mutex.h"
#include "stats/percentile.h"

namespace ipc_probe {

// Not synchronised: its owner guards it (see LockedRing).
class LatencyRing {
public:
    // Capacities of 2^60 and more cannot be reserved at all (8 bytes each); they are an
    // InternalError. A capacity that merely exceeds memory throws std::bad_alloc.
    static std::expected<LatencyRing, InternalError> create(std::uint64_t capacity);

    // Drops the oldest sample once full. A ring of capacity 0 keeps the newest sample,
    // exactly like a ring of capacity 1. Never allocates. Defined here, like the recording
    // calls of the statistics, so that a call from Python costs one native frame.
    // The members are read into locals once: a sample store could alias any of them, as
    // far as the compiler knows, and would make it reload them after it.
    void record(std::uint64_t latency_us) noexcept {
        std::uint64_t* const cells = cells_.get();
        const std::size_t size = size_;
        unsigned __int128 sum = sum_ + latency_us;
        if (size < cell_count_) {
            cells[size] = latency_us;
            size_ = size + 1;
        } else {
            const std::size_t oldest = oldest_;
            sum -= cells[oldest];
            cells[oldest] = latency_us;
            oldest_ = oldest + 1 == cell_count_ ? 0 : oldest + 1;
        }
        sum_ = sum;
    }

    // 0.0 when empty; otherwise the exact mean, rounded once to the nearest double.
    double mean() const noexcept { return mean_of(sum_, size_); }
    static double mean_of(unsigned __int128 sum, std::uint64_t size) noexcept {
        if (size == 0) return 0.0;
        // Both exact as doubles, so the division rounds once. Signed conversions: one
        // instruction each, where the unsigned ones branch or call.
        if (sum < std::uint64_t{1} << 53 && size < std::uint64_t{1} << 53) [[likely]] {
            return static_cast<double>(static_cast<std::int64_t>(sum)) /
                   static_cast<double>(static_cast<std::int64_t>(size));
        }
        return rounded_quotient(sum, size);
    }
    unsigned __int128 sum() const noexcept { return sum_; }

    std::size_t size() const noexcept { return size_; }
    // The window, in no particular order.
    std::span<const std::uint64_t> samples() const noexcept { return {cells_.get(), size_}; }

private:
    // sum / size (size > 0) correctly rounded, for sums or sizes that a double cannot hold.
    static double rounded_quotient(unsigned __int128 sum, std::uint64_t size) noexcept;

    LatencyRing(std::unique_ptr<std::uint64_t[]> cells, std::size_t cell_count) noexcept
        : cells_(std::move(cells)), cell_count_(cell_count) {}

    std::unique_ptr<std::uint64_t[]> cells_;
    std::size_t cell_count_;  // the capacity, but at least 1
    // Samples live at cells [0, size_) until the ring is full; from then on every cell holds
    // one and `oldest_` walks round.
    std::size_t oldest_ = 0;
    std::size_t size_ = 0;
    // Wide enough that no window can overflow it, so the mean is exact and costs one
    // division instead of a pass over the window.
    unsigned __int128 sum_ = 0;
};

// A lock that does nothing, for a caller that lets one call in at a time, readers
// included (see stats/sync.h).
template <class Lock>
concept CallerSerialisedLock = Lock::serialised_by_caller;

// A ring with its own lock: the one lock of each statistics object, or none where the
// caller already serialises every call.
template <class Lock = Mutex>
class LockedRing {
public:
    // Published at once, so a ring that comes with samples reads its mean before any record.
    explicit LockedRing(LatencyRing ring) noexcept : ring_(std::move(ring)) { publish_totals(); }

    // `also_locked` runs under the same lock, for a counter that must move with the ring.
    template <class AlsoLocked>
    void record(std::uint64_t latency_us, AlsoLocked&& also_locked) noexcept {
        std::lock_guard lock(mutex_);
        ring_.record(latency_us);
        publish_totals();
        also_locked();
    }
    void record(std::uint64_t latency_us) noexcept {
        record(latency_us, [] {});
    }

    // Reads the totals the last record published, without the lock: a reader then costs
    // recorders nothing and pays no atomic read-modify-write itself. A reader that meets a
    // record mid-publication, twice, takes the lock instead of spinning.
    double mean() const noexcept {
        // A reader the caller serialises with every record reads the ring itself.
        if constexpr (kReadersSerialised) return ring_.mean();
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::uint64_t version = totals_version_.load(std::memory_order_acquire);
            if (version % 2 != 0) continue;
            // Acquire keeps the second read of the version after these.
            const std::uint64_t low = sum_low_.load(std::memory_order_acquire);
            const std::uint64_t high = sum_high_.load(std::memory_order_acquire);
            const std::uint64_t count = count_.load(std::memory_order_acquire);
            if (totals_version_.load(std::memory_order_relaxed) == version) [[likely]] {
                return LatencyRing::mean_of(static_cast<unsigned __int128>(high) << 64 | low, count);
            }
        }
        std::lock_guard lock(mutex_);
        return ring_.mean();
    }
    // 0.0 for an empty window. Only the read pass runs under the lock; the selection runs
    // on its private result outside it, so recorders wait for one read of the window at
    // most. May throw std::bad_alloc.
    double p99() const {
        // A small window is copied to the stack: an allocation would cost a tenth of the
        // whole answer.
        std::array<std::uint64_t, kNarrowFrom> small;
        std::size_t n = 0;
        RankCandidates candidates;
        {
            std::lock_guard lock(mutex_);
            n = ring_.size();
            if (n == 0) return 0.0;
            if (n < kNarrowFrom) {
                std::ranges::copy(ring_.samples(), small.begin());
            } else {
                candidates = gather_rank(ring_.samples(), p99_rank(n));
            }
        }
        if (n < kNarrowFrom) {
            const std::span<std::uint64_t> values(small.data(), n);
            candidates.values = values;
            candidates.rank = p99_rank(n);
        }
        return static_cast<double>(select_rank(candidates));
    }

private:
    // Under the lock, so there is one writer. The version is odd while the totals change;
    // the releases keep a reader that sees any new total from seeing the old version twice.
    void publish_totals() noexcept {
        if constexpr (kReadersSerialised) return;
        const std::uint64_t version = totals_version_.load(std::memory_order_relaxed);
        totals_version_.store(version + 1, std::memory_order_relaxed);
        const unsigned __int128 sum = ring_.sum();
        sum_low_.store(static_cast<std::uint64_t>(sum), std::memory_order_release);
        sum_high_.store(static_cast<std::uint64_t>(sum >> 64), std::memory_order_release);
        count_.store(ring_.size(), std::memory_order_release);
        totals_version_.store(version + 2, std::memory_order_release);
    }

    static constexpr bool kReadersSerialised = CallerSerialisedLock<Lock>;

    mutable Lock mutex_;
    LatencyRing ring_;
    std::atomic<std::uint64_t> totals_version_{0};
    std::atomic<std::uint64_t> sum_low_{0}, sum_high_{0}, count_{0};
};

}  // namespace ipc_probe
